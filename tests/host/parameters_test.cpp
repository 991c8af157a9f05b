// SPDX-License-Identifier: MIT
// The two gain parameters as a host sees them: values through the record's parameter pointers,
// names, labels and display texts through the dispatcher, into guarded host buffers.
#include "tests/host/host_double.h"

#include <bit>
#include <climits>
#include <cmath>
#include <limits>
#include <random>

using namespace hostdouble;

namespace {

constexpr int32_t kBadIndices[] = {-1, 2, 3, INT32_MIN, INT32_MAX};

class ParameterTest : public testing::Test {
protected:
   void SetUp() override {
      ASSERT_TRUE(plugin().loaded()) << plugin().error();
      ASSERT_TRUE(fx);
      fx.start();
   }

   // The display text for `index`, checked to be a bounded copy of 8 characters.
   std::string display(int32_t index) {
      GuardedText text(8);
      EXPECT_EQ(fx.dispatch(effGetParamDisplay, index, 0, text.data()), 0);
      const std::string shown(text.data());
      EXPECT_TRUE(text.holdsBounded(shown));
      return shown;
   }

   Instance fx;
};

// --- Values

TEST_F(ParameterTest, GainsStartAtUnity) {
   EXPECT_EQ(fx.getParameter(0), 1.0f);
   EXPECT_EQ(fx.getParameter(1), 1.0f);
}

TEST_F(ParameterTest, EachIndexSetsOnlyItsOwnGain) {
   fx.setParameter(0, 0.5f);
   EXPECT_EQ(fx.getParameter(0), 0.5f);
   EXPECT_EQ(fx.getParameter(1), 1.0f);
   fx.setParameter(1, 0.25f);
   EXPECT_EQ(fx.getParameter(0), 0.5f);
   EXPECT_EQ(fx.getParameter(1), 0.25f);
}

TEST_F(ParameterTest, OutOfRangeIndicesChangeNothingAndReadZero) {
   fx.setParameter(0, 0.5f);
   fx.setParameter(1, 0.25f);
   for (int32_t index : kBadIndices) {
      SCOPED_TRACE(index);
      fx.setParameter(index, 0.75f);
      EXPECT_EQ(fx.getParameter(0), 0.5f);
      EXPECT_EQ(fx.getParameter(1), 0.25f);
      EXPECT_EQ(std::bit_cast<uint32_t>(fx.getParameter(index)), 0u) << "must read +0.0";
   }
}

// Values outside 0..1 are stored as given, down to the bit.
TEST_F(ParameterTest, AnyValueIsStoredBitForBit) {
   const float values[] = {1.5f,
                           -0.0f,
                           -2.0f,
                           std::numeric_limits<float>::denorm_min(),
                           1e-40f,
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::max(),
                           std::bit_cast<float>(0x7FC12345u)}; // quiet NaN with a payload
   for (float value : values) {
      SCOPED_TRACE(value);
      for (int32_t index : {0, 1}) {
         fx.setParameter(index, value);
         EXPECT_EQ(std::bit_cast<uint32_t>(fx.getParameter(index)), std::bit_cast<uint32_t>(value));
      }
   }
}

// --- Names and labels

TEST_F(ParameterTest, NamesAreCopiedWholeAndNoFurther) {
   const char* names[] = {"Left Gain", "Right Gain"}; // 10 and 11 bytes with the NUL
   for (int32_t index : {0, 1}) {
      GuardedText text(10);
      EXPECT_EQ(fx.dispatch(effGetParamName, index, 0, text.data()), 0);
      EXPECT_TRUE(text.holdsWhole(names[index]));
   }
}

TEST_F(ParameterTest, LabelIsDecibelsInNineBytes) {
   for (int32_t index : {0, 1}) {
      GuardedText label(8);
      EXPECT_EQ(fx.dispatch(effGetParamLabel, index, 0, label.data()), 0);
      EXPECT_TRUE(label.holdsBounded("dB"));
   }
}

TEST_F(ParameterTest, BadIndicesLeaveEveryTextBufferUntouched) {
   for (int32_t opcode : {effGetParamName, effGetParamLabel, effGetParamDisplay}) {
      for (int32_t index : kBadIndices) {
         SCOPED_TRACE(testing::Message() << "opcode " << opcode << ", index " << index);
         GuardedText text(16);
         EXPECT_EQ(fx.dispatch(opcode, index, 0, text.data()), 0);
         EXPECT_TRUE(text.untouched());
      }
   }
}

// --- Display texts

struct Shown {
   float gain;
   const char* text;
};

TEST_F(ParameterTest, DisplayShowsDecibelsTruncated) {
   const float nan = std::numeric_limits<float>::quiet_NaN();
   const float inf = std::numeric_limits<float>::infinity();
   const Shown rows[] = {{1.0f, "0.000000"}, {10.0f, "20.00000"}, {100.0f, "40.00000"},
                         {0.5f, "-6.02060"}, {0.0f, "-oo"},       {-0.0f, "-oo"},
                         {-1.0f, "-oo"},     {-inf, "-oo"},       {-1e-40f, "-oo"},
                         {nan, "0.000000"},  {inf, "Huge!"}};
   for (const Shown& row : rows) {
      SCOPED_TRACE(row.gain);
      fx.setParameter(0, row.gain);
      fx.setParameter(1, 1.0f);
      EXPECT_EQ(display(0), row.text);
      EXPECT_EQ(display(1), "0.000000"); // each index shows its own gain
      fx.setParameter(0, 1.0f);
      fx.setParameter(1, row.gain);
      EXPECT_EQ(display(0), "0.000000");
      EXPECT_EQ(display(1), row.text);
   }
}

// The hand-written rows above agree with the independent formatter; this sweeps many more gains,
// including those next to unity whose decibels are a sliver either side of zero.
TEST_F(ParameterTest, DisplayMatchesIndependentComputation) {
   ASSERT_EQ(expectedGainText(0.5f),
             "-6.02060"); // -6.0206003..., the nearest float to 20 x log10f(0.5)
   ASSERT_EQ(expectedGainText(std::nextafter(1.0f, 0.0f)), "-0.00000");
   ASSERT_EQ(expectedGainText(std::nextafter(1.0f, 2.0f)), "0.000001");

   std::vector<float> gains = {std::nextafter(1.0f, 0.0f),
                               std::nextafter(1.0f, 2.0f),
                               std::numeric_limits<float>::denorm_min(),
                               std::numeric_limits<float>::min(),
                               std::numeric_limits<float>::max(),
                               0.7f,
                               0.999f,
                               1.001f,
                               2.0f,
                               3.1622777f};
   for (float g = 1e-6f; g < 1e3f; g *= 1.07f)
      gains.push_back(g);
   std::mt19937 rng(20240607);
   std::uniform_real_distribution<float> unit(0.0f, 1.0f);
   for (int i = 0; i < 500; ++i)
      gains.push_back(unit(rng));

   for (float gain : gains) {
      SCOPED_TRACE(testing::Message() << "gain " << gain << " (0x" << std::hex
                                      << std::bit_cast<uint32_t>(gain) << ")");
      fx.setParameter(1, gain);
      EXPECT_EQ(display(1), expectedGainText(gain));
   }
}

} // namespace
