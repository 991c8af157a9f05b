// SPDX-License-Identifier: MIT
// Block-by-block processing through the built plug-in: every sample bit-exact, whatever the
// block size, and the signal's edges handled.
#include "tools/hostlib/render.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>

#include <cstring>

namespace plughost {
namespace {

template <class Sample>
PlanarAudio<Sample> noise(size_t channels, size_t frames) {
   PlanarAudio<Sample> audio(channels, frames);
   uint32_t state = 12345;
   for (auto& channel : audio.channels) {
      for (auto& s : channel) {
         state = state * 1664525u + 1013904223u;
         s = static_cast<Sample>(static_cast<int32_t>(state)) / static_cast<Sample>(1u << 31);
      }
   }
   return audio;
}

template <class Sample>
bool sameBits(Sample a, Sample b) {
   return std::memcmp(&a, &b, sizeof a) == 0;
}

class Render : public ::testing::TestWithParam<int32_t> {
protected:
   static constexpr float kLeft = 0.1f; // not exact in binary: shows how the gain is widened
   static constexpr float kRight = 0.25f;
   static constexpr size_t kFrames = 1000;

   PluginInstance instance{PluginModule::load(TRIMWISE_PLUGIN_PATH)};

   void SetUp() override {
      instance.setParameter(0, kLeft);
      instance.setParameter(1, kRight);
      instance.start();
   }
};

TEST_P(Render, Multiplies32BitSamplesByTheGainsExactly) {
   const auto input = noise<float>(2, kFrames);
   const auto output = render(instance, input, GetParam());
   ASSERT_EQ(output.channels.size(), 2u);
   ASSERT_EQ(output.frames(), kFrames);
   const float gains[] = {kLeft, kRight};
   for (size_t c = 0; c < 2; ++c) {
      for (size_t i = 0; i < kFrames; ++i) {
         ASSERT_TRUE(sameBits(output.channels[c][i], input.channels[c][i] * gains[c]))
             << "channel " << c << " frame " << i;
      }
   }
}

TEST_P(Render, Multiplies64BitSamplesByTheWidenedGainsExactly) {
   const auto input = noise<double>(2, kFrames);
   const auto output = render(instance, input, GetParam());
   ASSERT_EQ(output.frames(), kFrames);
   const double gains[] = {static_cast<double>(kLeft), static_cast<double>(kRight)};
   for (size_t c = 0; c < 2; ++c) {
      for (size_t i = 0; i < kFrames; ++i) {
         ASSERT_TRUE(sameBits(output.channels[c][i], input.channels[c][i] * gains[c]))
             << "channel " << c << " frame " << i;
      }
   }
}

// 1 frame per call, a size that does not divide the signal, the usual size, and one larger
// than the whole signal.
INSTANTIATE_TEST_SUITE_P(BlockSizes, Render, ::testing::Values(1, 7, 512, 4096));

TEST(RenderEdges, AnEmptySignalGivesAnEmptyResultWithOneChannelPerOutput) {
   PluginInstance p(PluginModule::load(TRIMWISE_PLUGIN_PATH));
   p.start();
   const auto output = render(p, PlanarAudio<float>(2, 0), 64);
   EXPECT_EQ(output.channels.size(), 2u);
   EXPECT_EQ(output.frames(), 0u);
}

// Files move in chunks of whole plug-in blocks: 30 x 273 = 8190 frames.
TEST(RenderEdges, ReportsProgressAfterEveryChunkUpToTheTotal) {
   PluginInstance p(PluginModule::load(TRIMWISE_PLUGIN_PATH));
   p.start();
   std::vector<size_t> reports;
   render(p, PlanarAudio<float>(2, 20000), 30, [&](size_t done, size_t total) {
      EXPECT_EQ(total, 20000u);
      reports.push_back(done);
   });
   EXPECT_EQ(reports, (std::vector<size_t>{8190, 16380, 20000}));
}

TEST(RenderEdges, RefusesASignalWhoseChannelsDoNotMatchTheInputs) {
   PluginInstance p(PluginModule::load(TRIMWISE_PLUGIN_PATH));
   p.start();
   for (const size_t channels : {size_t{1}, size_t{3}}) {
      try {
         render(p, PlanarAudio<float>(channels, 10), 64);
         FAIL() << channels << " channels were accepted";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::usage);
      }
   }
}

TEST(RenderEdges, Refuses64BitAudioForAPlugInWithout64BitProcessing) {
   PluginInstance p(PluginModule::load(FAKE_MAIN_ONLY_PATH));
   p.start();
   EXPECT_THROW(render(p, PlanarAudio<double>(2, 10), 64), ToolError);
}

} // namespace
} // namespace plughost
