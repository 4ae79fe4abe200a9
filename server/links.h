// links.h - the server's links: listening pipes and the TCP listener, one
// thread per client link.
#pragma once

#include <string>

#include "server/options.h"

namespace quonix {

// Listens on the local pipe (or the one formed from --server-name), on the
// host pipe with --host and on TCP with --tcp or --tcp-any, and starts
// accepting.  The TCP listener logs the address and port it listens on
// ("tcp listening on 127.0.0.1:PORT"), also when the system picked the port.
// false: something could not be listened on; `error` says which and why.
bool LinksStart(const Options& options, std::string& error);
// What is listened on, for the log: "\\.\pipe\qoxsmem and tcp 127.0.0.1:PORT".
std::string LinksServed();
// Joins the threads of links that have ended.
void LinksReap();
// Stops accepting, wakes every link thread, joins them and closes the pipes.
void LinksStop();

}  // namespace quonix
