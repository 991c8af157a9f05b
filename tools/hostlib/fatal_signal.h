// SPDX-License-Identifier: MIT
// What happens when the process receives a fatal signal while it runs a plug-in: the program is
// told (it decides what, if anything, the user sees), no half-written output file is left
// behind, and the process ends with status 1 instead of a silent death or a core dump.
#pragma once

#include <string>

namespace plughost {

// "SIGSEGV (invalid memory access)" and the like, or null for a signal without a name here.
// Async-signal-safe.
const char* signalName(int signal);
// The same, or "signal 42 (...)" as the system names it.
std::string describeSignal(int signal);

// Called by the handler of a fatal signal with the signal and the activity of the last
// reportFatalSignals(); it runs inside a signal handler, so it may only call async-signal-safe
// functions (write, strlen, ...). The process ends with status 1 when it returns.
using FatalSignalReport = void (*)(int signal, const char* activity);
// The program's report (null: none). Set once, before reportFatalSignals.
void setFatalSignalReport(FatalSignalReport report);

// Installs handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT that remove the pending
// output file, give the report `activity` ("processing with 'Trimwise.so'") and exit with
// status 1, and for SIGINT and SIGTERM that remove the pending output file and then end the
// process as the signal would. Call again to change the activity. Not thread-safe; call from
// the main thread.
void reportFatalSignals(const std::string& activity);

// The file a handler removes before the process ends (empty: none). The text is copied.
void removeOnSignal(const std::string& path);

// For a worker process whose parent reports its end: on a fatal signal, SIGINT or SIGTERM,
// removes the pending output file and ends the process by that same signal, printing nothing,
// so that the parent can name the signal.
void removePendingOnSignals();

} // namespace plughost
