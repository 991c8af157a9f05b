// SPDX-License-Identifier: MIT
// The worker pool as a batch run uses it: answers come back from jobs that succeed, and a job
// that throws, crashes in a plug-in, ends its process or hangs fails alone, named with its
// signal and the call in flight, while the jobs after it run on a new worker.
#include "tools/hostlib/job_pool.h"

#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_module.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <map>
#include <thread>

namespace plughost {
namespace {

using Status = JobOutcome::Status;

// Each job is a word telling the worker what to do; "ok" answers with the worker's pid and how
// many jobs that worker has run, which shows that workers live on between jobs.
std::string work(const std::string& job, JobContext& context) {
   static int served = 0;
   ++served;
   if (job == "throw") throw std::runtime_error("no such file");
   if (job == "exit") _exit(7);
   if (job == "hang") {
      for (;;)
         pause();
   }
   if (job == "progress") {
      context.progress(2.5);
      return "p";
   }
   if (job == "crash" || job == "hang in plug-in") {
      PluginInstance p(
          PluginModule::load(job == "crash" ? FAKE_CRASHING_PROCESS_PATH : FAKE_HANGING_PATH));
      p.start();
      std::vector<float> in(64), out(64);
      float* ins[] = {in.data(), in.data()};
      float* outs[] = {out.data(), out.data()};
      p.process(ins, outs, 64);
   }
   return std::to_string(getpid()) + ":" + std::to_string(served);
}

struct Ended {
   std::map<size_t, JobOutcome> outcomes;
   std::vector<size_t> order;
   std::map<size_t, double> progress;

   JobPool::Events events() {
      return {nullptr, [this](size_t i, double v) { progress[i] = v; },
              [this](size_t i, const JobOutcome& o) {
                 outcomes[i] = o;
                 order.push_back(i);
              }};
   }
};

TEST(JobPool, EachFaultFailsOnlyItsOwnJobAndIsNamed) {
   struct Case {
      const char* job;
      Status status;
      const char* problem; // a part of JobOutcome::problem
   };
   const Case cases[] = {
       {"ok", Status::done, ""},
       {"throw", Status::failed, "no such file"},
       {"crash", Status::crashed, "SIGSEGV (invalid memory access) in processReplacing(64 frames)"},
       {"ok", Status::done, ""},
       {"exit", Status::ended, "exit status 7"},
       {"hang in plug-in", Status::timedOut, "took longer than 1 seconds; hung in the entry point"},
       {"hang", Status::timedOut, "took longer than 1 seconds"},
       {"ok", Status::done, ""},
       {"progress", Status::done, ""},
   };
   std::vector<std::string> jobs;
   for (const auto& c : cases)
      jobs.push_back(c.job);
   JobPool pool(work, {2, 1.0, nullptr});
   Ended ended;
   EXPECT_TRUE(pool.run(jobs, ended.events()));
   ASSERT_EQ(ended.outcomes.size(), jobs.size());
   for (size_t i = 0; i < jobs.size(); ++i) {
      SCOPED_TRACE(jobs[i] + " at " + std::to_string(i));
      const JobOutcome& o = ended.outcomes[i];
      EXPECT_EQ(o.status, cases[i].status);
      EXPECT_NE(o.problem(1.0).find(cases[i].problem), std::string::npos) << o.problem(1.0);
      EXPECT_EQ(o.ok(), o.problem(1.0).empty());
   }
   EXPECT_EQ(ended.progress[8], 2.5);
}

TEST(JobPool, WorkersLiveOnAndAreReplacedAfterACrash) {
   JobPool pool(work, {1, 0.0, nullptr});
   Ended ended;
   ASSERT_TRUE(pool.run({"ok", "ok", "crash", "ok", "ok"}, ended.events()));
   const auto pid = [&](size_t i) {
      return ended.outcomes[i].answer.substr(0, ended.outcomes[i].answer.find(':'));
   };
   EXPECT_EQ(ended.outcomes[1].answer, pid(0) + ":2"); // the same worker, its second job
   EXPECT_EQ(ended.outcomes[2].status, Status::crashed);
   EXPECT_NE(pid(3), pid(0));
   EXPECT_EQ(ended.outcomes[3].answer, pid(3) + ":1");
   EXPECT_EQ(ended.outcomes[4].answer, pid(3) + ":2");
   EXPECT_EQ(ended.order, (std::vector<size_t>{0, 1, 2, 3, 4}));
   // And the pool runs again with the workers it has.
   Ended again;
   ASSERT_TRUE(pool.run({"ok"}, again.events()));
   EXPECT_EQ(again.outcomes[0].answer, pid(3) + ":3");
}

TEST(JobPool, StopCancelsTheJobsInFlightAndStartsNoMore) {
   static volatile std::sig_atomic_t stop = 0;
   stop = 0;
   JobPool pool(work, {2, 0.0, &stop});
   Ended ended;
   std::vector<std::string> jobs{"hang", "hang", "ok", "ok"};
   JobPool::Events events = ended.events();
   size_t started = 0;
   events.started = [&](size_t) {
      if (++started == 2) stop = 1; // as a Ctrl-C handler would, with both workers busy
   };
   EXPECT_FALSE(pool.run(jobs, events));
   ASSERT_EQ(ended.outcomes.size(), 2u);
   EXPECT_EQ(ended.outcomes[0].status, Status::cancelled);
   EXPECT_EQ(ended.outcomes[1].status, Status::cancelled);
}

} // namespace
} // namespace plughost
