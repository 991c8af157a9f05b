// SPDX-License-Identifier: MIT
// What plughost does when its own process receives a fatal signal while it runs a plug-in: one
// line of cause and one of hint instead of a silent death or a core dump, exit code 1, and no
// half-written output file left behind.
#pragma once

#include <string>

namespace plughost {

// "SIGSEGV (segmentation fault)" and the like.
std::string describeSignal(int signal);

// Installs handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT that print the two-line
// error naming `activity` ("processing with 'Trimwise.so'") and exit with code 1, and for SIGINT
// and SIGTERM that remove the pending output file and then end the process as the signal would.
// Call again to change the activity. Not thread-safe; call from the main thread.
void reportFatalSignals(const std::string& activity);

// The file a handler removes before the process ends (empty: none). The text is copied.
void removeOnSignal(const std::string& path);

// For a worker process whose parent reports its end: on a fatal signal, SIGINT or SIGTERM,
// removes the pending output file and ends the process by that same signal, printing nothing,
// so that the parent can name the signal.
void removePendingOnSignals();

} // namespace plughost
