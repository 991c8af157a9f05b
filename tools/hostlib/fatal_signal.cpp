// SPDX-License-Identifier: MIT
#include "tools/hostlib/fatal_signal.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace plughost {
namespace {

struct SignalName {
   int number;
   const char* name;
};
constexpr SignalName kSignals[] = {
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

// The handlers may only use what is async-signal-safe: what they print or remove is kept in
// fixed buffers, filled before any signal can arrive, and the message is put together with
// strlen and memcpy alone.
char gMessage[1024];
char gActivity[512];
char gPendingFile[4096];
// Another fatal signal while the handler runs (a crash in write) ends the process at once.
volatile sig_atomic_t gHandling = 0;

void append(size_t& at, const char* text) {
   const size_t n = std::min(std::strlen(text), sizeof gMessage - 1 - at);
   std::memcpy(gMessage + at, text, n);
   at += n;
}

void onFatal(int signal) {
   if (gHandling) _exit(1);
   gHandling = 1;
   if (gPendingFile[0]) unlink(gPendingFile);
   size_t at = 0;
   append(at, "plughost: error: stopped by ");
   const char* name = "a fatal signal";
   for (const auto& s : kSignals) {
      if (s.number == signal) name = s.name;
   }
   append(at, name);
   append(at, " while ");
   append(at, gActivity);
   append(at, "\nhint: the plug-in most likely crashed; 'plughost validate' may find out where\n");
   [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, gMessage, at);
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

std::string describeSignal(int signal) {
   for (const auto& s : kSignals) {
      if (s.number == signal) return s.name;
   }
   const char* text = strsignal(signal);
   return "signal " + std::to_string(signal) + (text ? std::string(" (") + text + ")" : "");
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
