// SPDX-License-Identifier: MIT
#include "tools/hostlib/fatal_signal.h"

#include "tools/hostlib/name_table.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace plughost {
namespace {

constexpr NamedNumber kSignals[] = {
    {SIGSEGV, "SIGSEGV (invalid memory access)"},
    {SIGBUS, "SIGBUS (bus error)"},
    {SIGFPE, "SIGFPE (arithmetic exception)"},
    {SIGILL, "SIGILL (illegal instruction)"},
    {SIGABRT, "SIGABRT (aborted)"},
    {SIGINT, "SIGINT (interrupted)"},
    {SIGTERM, "SIGTERM (terminated)"},
    {SIGKILL, "SIGKILL (killed)"},
};
constexpr int kFatal[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// The handlers may only use what is async-signal-safe: what they report or remove is kept in
// fixed buffers, filled before any signal can arrive.
char gActivity[512];
char gPendingFile[4096];
std::atomic<FatalSignalReport> gReport{nullptr};
// Another fatal signal while the handler runs (a crash in the report) ends the process at once.
volatile sig_atomic_t gHandling = 0;

void onFatal(int signal) {
   if (gHandling) _exit(1);
   gHandling = 1;
   if (gPendingFile[0]) unlink(gPendingFile);
   if (FatalSignalReport report = gReport.load()) report(signal, gActivity);
   _exit(1);
}

void onStop(int signal) {
   if (gPendingFile[0]) unlink(gPendingFile);
   ::signal(signal, SIG_DFL);
   raise(signal);
}

void install(int signal, void (*handler)(int)) {
   struct sigaction action {};
   action.sa_handler = handler;
   sigemptyset(&action.sa_mask);
   sigaction(signal, &action, nullptr);
}

void copyInto(char* buffer, size_t size, const std::string& text) {
   const size_t n = std::min(text.size(), size - 1);
   std::memcpy(buffer, text.data(), n);
   buffer[n] = '\0';
}

} // namespace

const char* signalName(int signal) {
   return nameIn(kSignals, signal);
}

std::string describeSignal(int signal) {
   if (const char* name = signalName(signal)) return name;
   const char* text = strsignal(signal);
   return "signal " + std::to_string(signal) + (text ? std::string(" (") + text + ")" : "");
}

void setFatalSignalReport(FatalSignalReport report) {
   gReport.store(report);
}

void reportFatalSignals(const std::string& activity) {
   copyInto(gActivity, sizeof gActivity, activity);
   for (const int signal : kFatal)
      install(signal, onFatal);
   install(SIGINT, onStop);
   install(SIGTERM, onStop);
}

void removePendingOnSignals() {
   for (const int signal : kFatal)
      install(signal, onStop);
   install(SIGINT, onStop);
   install(SIGTERM, onStop);
}

void removeOnSignal(const std::string& path) {
   copyInto(gPendingFile, sizeof gPendingFile, path);
}

} // namespace plughost
