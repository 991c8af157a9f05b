// SPDX-License-Identifier: MIT
// Sessions, the host library's face for embedding programs: one in this process and one in a
// `plughost serve` helper must give the same samples, bit for bit, and write nothing past the
// caller's buffers; faults in the helper must come back as typed errors naming the call.
#include "tools/hostlib/session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using namespace plughost;
using trimwise::host::BadArgument;
using trimwise::host::LoadError;
using trimwise::host::PluginCrashed;
using trimwise::host::PluginTimeout;

constexpr size_t kGuard = 16;
constexpr float kSentinel = 12345.0f;

std::unique_ptr<PluginSession> open(bool isolated, const std::string& path = TRIMWISE_PLUGIN_PATH,
                                    double timeout = 10.0) {
   return isolated ? openIsolatedSession(PLUGHOST_PATH, path, 44100.0, 64, timeout)
                   : openSession(path, 44100.0, 64);
}

// Processes `channels` channels of a ramp and returns the outputs; checks the guard samples
// written after each output channel stay untouched.
template <class Sample>
std::vector<std::vector<Sample>> run(PluginSession& s, int channels, size_t frames,
                                     ProcessPlan plan = {}) {
   std::vector<std::vector<Sample>> in(static_cast<size_t>(channels), std::vector<Sample>(frames));
   for (size_t c = 0; c < in.size(); ++c) {
      for (size_t f = 0; f < frames; ++f)
         in[c][f] = static_cast<Sample>((static_cast<double>(f % 97) - 48.0) / (49.0 + c));
   }
   plan.channels = channels;
   plan.frames = frames;
   const size_t outFrames = s.outputFrames(plan);
   const auto outputs = static_cast<size_t>(s.info().outputs);
   std::vector<Sample> memory(outputs * (outFrames + kGuard), kSentinel);
   std::vector<const Sample*> inPointers;
   std::vector<Sample*> outPointers;
   for (const auto& channel : in)
      inPointers.push_back(channel.data());
   for (size_t c = 0; c < outputs; ++c)
      outPointers.push_back(memory.data() + c * (outFrames + kGuard));
   s.process(plan, inPointers.data(), outPointers.data(), {});
   std::vector<std::vector<Sample>> out;
   for (size_t c = 0; c < outputs; ++c) {
      const Sample* from = outPointers[c];
      for (size_t g = 0; g < kGuard; ++g)
         EXPECT_EQ(from[outFrames + g], Sample(kSentinel)) << "written past channel " << c;
      out.emplace_back(from, from + outFrames);
   }
   // Every output is the input (a mono signal feeds both) times the gain as the plug-in keeps it.
   for (size_t c = 0; c < outputs && !in.empty(); ++c) {
      const auto gain = static_cast<Sample>(s.parameterValue(static_cast<int32_t>(c)));
      const auto& source = in[in.size() == 1 ? 0 : c];
      for (size_t f = 0; f < frames; ++f)
         EXPECT_EQ(out[c][f], source[f] * gain) << "channel " << c << " frame " << f;
   }
   return out;
}

class SessionTest : public testing::TestWithParam<bool> {};

TEST_P(SessionTest, ProcessesBitExactWithinTheCallersBuffers) {
   auto s = open(GetParam());
   s->setParameterText(0, "-6 dB");
   s->setParameterValue(1, 0.25f);
   for (const size_t frames : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{20001}}) {
      run<float>(*s, 2, frames);
      run<double>(*s, 1, frames);
   }
   ProcessPlan tail;
   tail.tail = 0.01;
   EXPECT_EQ(run<float>(*s, 2, 100, tail)[0].size(), 100u + 441u);
   // The settings travel as state between sessions of either kind.
   auto other = open(!GetParam());
   other->loadState(s->saveState());
   EXPECT_EQ(other->parameterDisplay(0), s->parameterDisplay(0));
   EXPECT_EQ(other->saveState(), s->saveState());
}

TEST_P(SessionTest, RefusesBadArgumentsAndGoesOn) {
   auto s = open(GetParam());
   EXPECT_THROW(s->parameterName(2), BadArgument);
   EXPECT_THROW(s->setParameterValue(0, 1.5f), BadArgument);
   EXPECT_THROW(s->setParameterText(0, "loud"), BadArgument);
   EXPECT_THROW(s->findParameter("Volume"), BadArgument);
   EXPECT_THROW(s->setProgram(1), BadArgument);
   EXPECT_THROW(s->loadState({1, 2, 3}), BadArgument);
   ProcessPlan negative;
   negative.midi = {{-1.0, "\x90\x3c\x64"}};
   EXPECT_THROW(s->outputFrames(negative), BadArgument);
   EXPECT_EQ(s->findParameter("right"), 1);
   run<float>(*s, 2, 100);
}

INSTANTIATE_TEST_SUITE_P(InProcessAndIsolated, SessionTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "isolated" : "inProcess"; });

// Each fault ends the helper with a typed error; the next session starts afresh.
TEST(IsolatedSessionTest, FaultsInTheHelperAreTypedErrors) {
   struct Case {
      const char* path;
      bool process; // the fault comes while processing, not while loading
      const char* words;
      bool timeout;
   };
   const Case cases[] = {
       {FAKE_CRASHING_PROCESS_PATH, true, "processReplacing", false},
       {FAKE_CRASHING_PATH, false, "while loading", false},
       {FAKE_HANGING_PATH, false, "no progress", true},
   };
   for (const Case& c : cases) {
      SCOPED_TRACE(c.path);
      try {
         auto s = open(true, c.path, 0.5);
         ASSERT_TRUE(c.process);
         run<float>(*s, 2, 64);
         ADD_FAILURE() << "no error";
      } catch (const PluginCrashed& e) {
         EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
         EXPECT_EQ(dynamic_cast<const PluginTimeout*>(&e) != nullptr, c.timeout);
      }
      run<float>(*open(true), 2, 64);
   }
   EXPECT_THROW(open(true, "/nonexistent/None.so"), LoadError);
   EXPECT_THROW(
       openIsolatedSession("/nonexistent/plughost", TRIMWISE_PLUGIN_PATH, 44100.0, 64, 1.0),
       LoadError);
}

} // namespace
