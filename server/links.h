// links.h - the server's links: listening pipes, one thread per client link.
#pragma once

#include <string>

#include "server/options.h"

namespace quonix {

// Listens on the local pipe (or the one formed from --server-name) and on the
// host pipe with --host, and starts accepting.  false: a pipe could not be
// listened on; `error` says which and why.
bool LinksStart(const Options& options, std::string& error);
// Joins the threads of links that have ended.
void LinksReap();
// Stops accepting, wakes every link thread, joins them and closes the pipes.
void LinksStop();

}  // namespace quonix
