// SPDX-License-Identifier: MIT
// plughost serve SOCKET RECORD: the hidden command that hosts one plug-in for a program that
// keeps it at arm's length (the Python module's isolated=True). The caller starts it by exec
// with a connected socket and the shared record of calls in flight at the two descriptors, and
// ends it by closing the socket. Not for people: it reads binary requests and prints nothing.

#include "tools/hostlib/session.h"
#include "tools/hostlib/tool_error.h"
#include "tools/plughost/commands.h"

#include <cstdlib>

namespace plughost {

int runServe(const char* socketFd, const char* recordFd) {
   char* end = nullptr;
   const long socket = std::strtol(socketFd, &end, 10);
   if (*end != '\0' || socket < 0) return static_cast<int>(ExitCode::usage);
   const long record = std::strtol(recordFd, &end, 10);
   if (*end != '\0' || record < 0) return static_cast<int>(ExitCode::usage);
   return serveSession(static_cast<int>(socket), static_cast<int>(record));
}

} // namespace plughost
