// SPDX-License-Identifier: MIT
// The one runner of isolated children: every way a child can end is told apart, and a child
// that leaves a process of its own holding the pipe is still seen to end.
#include "tools/hostlib/child_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include <unistd.h>

namespace plughost {
namespace {

struct Ending {
   const char* name;
   ChildProcess::Body body;
   double timeout;
   std::string output;
   bool timedOut;
   int signal;
   int exitStatus;
   std::string endText;
};

class ChildEndings : public testing::TestWithParam<Ending> {};

TEST_P(ChildEndings, AreToldApart) {
   const Ending& e = GetParam();
   ChildOptions options;
   options.timeoutSeconds = e.timeout;
   options.output = ChildOptions::Output::discarded;
   const ChildResult r = runInChild(e.body, options, 'F');
   EXPECT_EQ(r.output, e.output);
   EXPECT_EQ(r.timedOut, e.timedOut);
   EXPECT_EQ(r.signaled(), e.signal != 0);
   if (e.signal) {
      EXPECT_EQ(r.signal(), e.signal);
   }
   if (!e.timedOut) {
      EXPECT_EQ(r.exitStatus(), e.exitStatus);
   }
   if (!e.endText.empty()) {
      EXPECT_EQ(r.endText(), e.endText);
   }
   EXPECT_TRUE(r.inFlight.empty());
}

const Ending kEndings[] = {
    {"answers", [] { return std::string("Pall well"); }, 10, "Pall well", false, 0, 0,
     "exit status 0"},
    {"large_answer", [] { return std::string(1 << 20, 'x'); }, 10, std::string(1 << 20, 'x'), false,
     0, 0, ""},
    {"throws", []() -> std::string { throw std::runtime_error("bad"); }, 10, "Fthrew bad", false, 0,
     0, ""},
    {"crashes",
     []() -> std::string {
        std::raise(SIGSEGV);
        return "unreachable";
     },
     10, "", false, SIGSEGV, -1, "SIGSEGV (invalid memory access)"},
    {"aborts", []() -> std::string { std::abort(); }, 10, "", false, SIGABRT, -1,
     "SIGABRT (aborted)"},
    {"exits", []() -> std::string { _exit(3); }, 10, "", false, 0, 3, "exit status 3"},
    {"hangs",
     []() -> std::string {
        for (;;)
           pause();
     },
     0.3, "", true, 0, -1, ""},
    // The child ends, but a process it started keeps the pipe open for longer than the limit.
    {"leaves_a_process_holding_the_pipe",
     []() -> std::string {
        if (fork() == 0) {
           sleep(5);
           _exit(0);
        }
        return "Pdone";
     },
     3, "Pdone", false, 0, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Runner, ChildEndings, testing::ValuesIn(kEndings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ChildProcesses, RunSideBySideAndEachKeepsItsOwnAnswer) {
   ChildOptions options;
   options.timeoutSeconds = 10;
   std::vector<ChildProcess> children;
   for (int i = 0; i < 4; ++i)
      children.push_back(ChildProcess::start([i] { return std::to_string(i * 7); }, options));
   for (int i = 0; i < 4; ++i)
      EXPECT_EQ(children[size_t(i)].finish().output, std::to_string(i * 7));
}

} // namespace
} // namespace plughost
