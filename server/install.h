// install.h - the files of the runtime's installation that the server lays
// out in the platform's drive C when they are missing.
#pragma once

namespace quonix {

// Writes "C:\quonix\sys\sbswcmnt.bin", the system comment file that
// QNA_CreateCmnt copies into every new comment file, unless it exists.  A
// failure is logged and does not stop the server.
void InstallSystemFiles();

}  // namespace quonix
