// SPDX-License-Identifier: MIT
// The linear response and latency against host doubles whose answers are known in closed form:
// each double is a plain function of the samples behind the Device interface.
#include "tools/hostlib/analysis/measurements.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>

namespace trimwise::host::analysis {
namespace {

// One output sample of channel `c` from one input sample; stateful, made anew on reset().
using Filter = std::function<double(double x, size_t c)>;

class FunctionDevice : public Device {
public:
   FunctionDevice(std::function<Filter()> make, int32_t latency, double rate)
       : make_(std::move(make)), latency_(latency), rate_(rate), filter_(make_()) {}

   double sampleRate() const override { return rate_; }
   int32_t outputs() const override { return 2; }
   int32_t mainInputs() const override { return 2; }
   bool isInstrument() const override { return false; }
   int32_t reportedLatency() override { return latency_; }
   int32_t reportedTail() override { return 0; }
   void reset() override { filter_ = make_(); }
   Channels play(std::span<const double> input, size_t extra, std::string_view) override {
      Channels out(2, std::vector<double>(input.size() + extra));
      for (size_t i = 0; i < input.size() + extra; ++i) {
         for (size_t c = 0; c < 2; ++c)
            out[c][i] = filter_(i < input.size() ? input[i] : 0.0, c);
      }
      return out;
   }
   Channels playNotes(std::span<const MidiEvent>, size_t frames, std::string_view) override {
      return play({}, frames, "notes");
   }

private:
   std::function<Filter()> make_;
   int32_t latency_;
   double rate_;
   Filter filter_;
};

// y[n] = b x[n] + a y[n-1] on both channels, behind a delay of `delay` frames.
std::function<Filter()> onePole(double a, size_t delay) {
   return [=] {
      return [=, y = std::array<double, 2>{},
              line = std::vector<double>(2 * delay + 2)](double x, size_t c) mutable {
         y[c] = (1.0 - a) * x + a * y[c];
         if (delay == 0) return y[c];
         double* d = line.data() + c * (delay + 1);
         for (size_t k = delay; k > 0; --k)
            d[k] = d[k - 1];
         d[0] = y[c];
         return d[delay];
      };
   };
}

struct Expected {
   const char* name;
   std::function<Filter()> filter;
   int32_t reported;
   double a;      // the one-pole's coefficient; 0: a pure gain
   double gain;   // of that pure gain
   size_t delay;  // frames
   bool dominant; // a peak must be found at `delay`
   bool flagged;
};

class LinearResponse : public ::testing::TestWithParam<double> {};

// Each double's magnitude, phase (after the measured latency comes off) and group delay against
// the closed form, at every grid frequency; the latency measured, and flagged or not.
TEST_P(LinearResponse, MatchesTheClosedFormOfEachDouble) {
   const double rate = GetParam();
   const Expected cases[] = {
       {"identity", [] { return Filter([](double x, size_t) { return x; }); }, 0, 0, 1, 0, true,
        false},
       {"-6 dB on the left",
        [] { return Filter([](double x, size_t c) { return c == 0 ? 0.5 * x : x; }); }, 0, 0, 1, 0,
        true, false},
       {"delay of 37 reporting 0", onePole(0.0, 37), 0, 0, 1, 37, true, true},
       {"delay of 37 reporting 37", onePole(0.0, 37), 37, 0, 1, 37, true, false},
       {"one-pole", onePole(0.9, 0), 0, 0.9, 1, 0, false, false},
       {"one-pole behind a delay of 5", onePole(0.3, 5), 5, 0.3, 1, 5, true, false},
   };
   for (const auto& e : cases) {
      SCOPED_TRACE(e.name);
      FunctionDevice device(e.filter, e.reported, rate);
      AnalysisOptions options;
      options.sampleRate = rate;
      const Json result = measureLinear(device, options);
      const Json& lat = result["latency"];
      const Json& lin = result["linear"];
      ASSERT_EQ(lin["status"], "ok");
      EXPECT_EQ(lat["reported"], e.reported);
      EXPECT_EQ(lat["flagged"], e.flagged);
      if (e.dominant) {
         EXPECT_EQ(lat["measured"], e.delay);
      } else {
         EXPECT_TRUE(lat["measured"].is_null());
         EXPECT_TRUE(lat.contains("measured_reason"));
      }
      EXPECT_FALSE(lin["confidence"]["time_variant"].get<bool>());
      EXPECT_FALSE(lin["confidence"]["level_dependent"].get<bool>());
      const double removed = lin["phase_delay_frames"].get<double>();
      const auto& f = lin["frequency_hz"];
      ASSERT_GT(f.size(), 200u);
      EXPECT_DOUBLE_EQ(f.front().get<double>(), 20.0);
      EXPECT_LE(f.back().get<double>(), 0.45 * rate);
      for (size_t c = 0; c < 2; ++c) {
         const double gain = (e.name[0] == '-' && c == 0) ? 0.5 : e.gain;
         for (size_t i = 0; i < f.size(); ++i) {
            const double w = 2 * std::numbers::pi * f[i].get<double>() / rate;
            const std::complex<double> z = std::polar(1.0, -w);
            const std::complex<double> h =
                gain * (1 - e.a) / (1.0 - e.a * z) * std::polar(1.0, -w * double(e.delay));
            const double group = (e.a * z / (1.0 - e.a * z)).real() + double(e.delay);
            double phase = std::arg(h * std::polar(1.0, w * removed)) * 180 / std::numbers::pi;
            const double measured = lin["phase_deg"][c][i].get<double>();
            phase += 360.0 * std::round((measured - phase) / 360.0);
            ASSERT_NEAR(lin["magnitude_db"][c][i].get<double>(), 20 * std::log10(std::abs(h)), 1e-3)
                << f[i] << " Hz, output " << c;
            ASSERT_NEAR(measured, phase, 0.01) << f[i] << " Hz, output " << c;
            ASSERT_NEAR(lin["group_delay_frames"][c][i].get<double>(), group, 1e-3)
                << f[i] << " Hz, output " << c;
         }
      }
   }
}

INSTANTIATE_TEST_SUITE_P(Rates, LinearResponse, ::testing::Values(44100.0, 96000.0));

// What the confidence tells apart: a tremolo changes over time, a soft clipper with level,
// arithmetic noise of 32-bit samples neither.
TEST(LinearConfidence, TellsChangeOverTimeFromChangeWithLevel) {
   const double rate = 48000;
   struct Case {
      const char* name;
      std::function<Filter()> filter;
      bool timeVariant, levelDependent;
   };
   const Case cases[] = {
       {"tremolo at 3 Hz",
        [] {
           return Filter([n = size_t(0)](double x, size_t c) mutable {
              const double g = 1.0 + 0.5 * std::sin(2 * std::numbers::pi * 3.0 * double(n) / 48000);
              if (c == 1) ++n;
              return g * x;
           });
        },
        true, false},
       {"tanh soft clipper",
        [] { return Filter([](double x, size_t) { return std::tanh(2 * x); }); }, false, true},
       {"float rounding",
        [] { return Filter([](double x, size_t) { return double(float(0.3 * x)); }); }, false,
        false},
   };
   for (const auto& e : cases) {
      SCOPED_TRACE(e.name);
      FunctionDevice device(e.filter, 0, rate);
      const Json lin = measureLinear(device, AnalysisOptions{})["linear"];
      const Json& c = lin["confidence"];
      EXPECT_EQ(c["time_variant"], e.timeVariant) << c.dump();
      EXPECT_EQ(c["level_dependent"], e.levelDependent) << c.dump();
      EXPECT_EQ(c["value"].get<double>() == 1.0, !e.timeVariant && !e.levelDependent);
   }
}

// A device that never outputs anything: no latency, no magnitude, and null with reasons instead
// of NaN or infinities in the document.
TEST(LinearResponse, SilenceGivesNullsWithReasons) {
   FunctionDevice device([] { return Filter([](double, size_t) { return 0.0; }); }, 0, 48000);
   AnalysisOptions options;
   options.tailCapSeconds = 1;
   const Json result = measureLinear(device, options);
   EXPECT_TRUE(result["latency"]["measured"].is_null());
   EXPECT_EQ(result["latency"]["measured_reason"], "the output is silent");
   const Json& lin = result["linear"];
   EXPECT_TRUE(lin["magnitude_db"][0][0].is_null());
   EXPECT_TRUE(lin.contains("magnitude_db_reason"));
   EXPECT_TRUE(lin["confidence"]["time_residual_db"].is_null());
   EXPECT_TRUE(lin["confidence"].contains("time_residual_db_reason"));
   Json parsed;
   EXPECT_NO_THROW(parsed = Json::parse(plughost::jsonLine(result)));
}

// Smoothing averages power over the band: an echo of equal level 1000 frames later ripples by
// +6/-inf dB, and its 1/3-octave average above 1 kHz (dozens of ripples per band) is the mean
// power, 0.25 + 0.25 = -3.01 dB, while unsmoothed the ripple stays.
TEST(LinearResponse, SmoothingAveragesPowerOverTheBand) {
   const auto echo = [] {
      return Filter([line = std::vector<double>(2002), at = size_t(0)](double x, size_t c) mutable {
         double* d = line.data() + c * 1001;
         const double y = 0.5 * (x + d[at]);
         d[at] = x;
         if (c == 1) at = (at + 1) % 1001;
         return y;
      });
   };
   for (const int smoothing : {0, 3}) {
      SCOPED_TRACE(smoothing);
      FunctionDevice device(echo, 0, 48000);
      AnalysisOptions options;
      options.smoothing = smoothing;
      const Json lin = measureLinear(device, options)["linear"];
      const auto& f = lin["frequency_hz"];
      double low = 0, high = -300;
      for (size_t i = 0; i < f.size(); ++i) {
         if (f[i].get<double>() < 1000 || lin["magnitude_db"][0][i].is_null()) continue;
         low = std::min(low, lin["magnitude_db"][0][i].get<double>());
         high = std::max(high, lin["magnitude_db"][0][i].get<double>());
      }
      if (smoothing) {
         EXPECT_NEAR(low, -3.01, 0.3);
         EXPECT_NEAR(high, -3.01, 0.3);
      } else {
         EXPECT_LT(low, -20);
         EXPECT_GT(high, -1);
      }
   }
}

} // namespace
} // namespace trimwise::host::analysis
