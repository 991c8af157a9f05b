// SPDX-License-Identifier: MIT
// The distortion, dynamics, aliasing, time and instrument measurements against devices whose
// answers are known in closed form: Fourier coefficients integrated here, a compressor's static
// curve and time constants, a feedback comb's RT60, the alias power of a sampled curve.
#include "tests/analysis/function_device.h"
#include "tools/hostlib/analysis/measurements.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <map>
#include <numbers>
#include <set>

namespace trimwise::host::analysis {
namespace {

using testing::BlockFunction;
using testing::DeviceSetup;
using testing::FunctionDevice;
constexpr double kPi = std::numbers::pi;

using Curve = std::function<double(double)>;

FunctionDevice curveDevice(Curve curve, DeviceSetup setup = {}) {
   return FunctionDevice::perSample(setup, [curve] { return curve; });
}

double db(double ratio) {
   return 20 * std::log10(ratio);
}

// |c_k| of curve(a sin θ), k = 0..maxK, by the trapezoid rule over one period (exact for the
// harmonics of a periodic function up to far beyond maxK, and converging fast for a clipper).
std::vector<double> fourierMagnitudes(const Curve& curve, double a, int maxK) {
   constexpr int kSteps = 1 << 15;
   std::vector<double> y(kSteps);
   for (int j = 0; j < kSteps; ++j)
      y[size_t(j)] = curve(a * std::sin(2 * kPi * j / kSteps));
   std::vector<double> c(size_t(maxK) + 1);
   for (int k = 0; k <= maxK; ++k) {
      std::complex<double> sum = 0;
      for (int j = 0; j < kSteps; ++j)
         sum += y[size_t(j)] * std::polar(1.0, -2 * kPi * k * j / kSteps);
      c[size_t(k)] = std::abs(sum) * (k == 0 ? 1.0 : 2.0) / kSteps;
   }
   return c;
}

// ---- Harmonic distortion ------------------------------------------------------------------

struct ThdCase {
   const char* name;
   Curve curve;
   double sampleRate;
};

void PrintTo(const ThdCase& c, std::ostream* os) {
   *os << c.name << " at " << c.sampleRate << " Hz";
}

class Thd : public ::testing::TestWithParam<ThdCase> {};

TEST_P(Thd, MatchesTheCurvesFourierCoefficients) {
   const auto& param = GetParam();
   auto device = curveDevice(param.curve, {.sampleRate = param.sampleRate});
   const auto thd = measureThd(device, {});
   ASSERT_EQ(thd["status"], "ok");
   EXPECT_EQ(thd["harmonics"], 10);
   EXPECT_LT(thd["floor_db"].get<double>(), -250); // a double sine rounds at -300 dB or so
   ASSERT_EQ(thd["points"].size(), 3u * 7u * 2u);
   std::set<long> frequencies;
   std::map<double, std::vector<double>> coefficients; // per level
   for (const auto& point : thd["points"]) {
      const double f = point["frequency_hz"], level = point["level_dbfs"];
      frequencies.insert(std::lround(f / 50)); // near 100 Hz, 1 kHz, 5 kHz
      auto& c = coefficients[level];
      if (c.empty()) c = fourierMagnitudes(param.curve, std::pow(10.0, level / 20), 10);
      double sum = 0;
      int top = 1;
      for (int k = 2; k <= 10 && k * f < param.sampleRate / 2; ++k) {
         sum += c[size_t(k)] * c[size_t(k)];
         top = k;
      }
      EXPECT_EQ(point["harmonics"], top);
      const double reference = db(std::sqrt(sum) / c[1]);
      const std::string where =
          param.name + (" at " + std::to_string(f) + " Hz, ") + std::to_string(level) + " dBFS";
      if (reference > -100) {
         ASSERT_TRUE(point["thd_db"].is_number()) << where;
         EXPECT_NEAR(point["thd_db"].get<double>(), reference, 0.5) << where;
         if (top * f <= 20000) { // THD+N stops at 20 kHz, THD at Nyquist
            EXPECT_GE(point["thdn_db"].get<double>(), point["thd_db"].get<double>() - 0.01)
                << where;
         }
      } else if (point["thd_db"].is_number()) {
         EXPECT_LT(point["thd_db"].get<double>(), -100) << where;
      } else {
         EXPECT_TRUE(point.contains("thd_db_reason")) << where;
      }
   }
   EXPECT_EQ(frequencies, (std::set<long>{2, 20, 100}));
   const auto& sweep = thd["sweep"];
   EXPECT_EQ(sweep["harmonic_db"]["2"].size(), sweep["frequency_hz"].size());
}

INSTANTIATE_TEST_SUITE_P(
    Curves, Thd,
    ::testing::Values(ThdCase{"identity", [](double x) { return x; }, 48000},
                      ThdCase{"tanh", [](double x) { return std::tanh(2 * x); }, 44100},
                      ThdCase{"hard clip", [](double x) { return std::clamp(x, -0.5, 0.5); },
                              96000},
                      ThdCase{"asymmetric", [](double x) { return x + 0.3 * x * x; }, 48000}),
    [](const auto& info) {
       std::string name = info.param.name;
       std::replace(name.begin(), name.end(), ' ', '_');
       return name;
    });

// A plug-in that processes 32-bit samples cannot do better than the stimulus rounded to float,
// and the floor reported says so.
TEST(ThdFloor, IsTheStimulusRoundedToTheProcessingPrecision) {
   auto device = curveDevice([](double x) { return x; }, {.precision = 32});
   const auto thd = measureThd(device, {});
   const double floor = thd["floor_db"];
   EXPECT_GT(floor, -200);
   EXPECT_LT(floor, -120);
   for (const auto& point : thd["points"])
      EXPECT_LT(point["thd_db"].get<double>(), floor + 10) << point.dump();
}

// ---- Dynamics -----------------------------------------------------------------------------

// A feed-forward compressor: the amplitude of a pure sine of known frequency from two samples
// (no ripple), a hard knee, and one-pole smoothing of the gain in dB.
Curve compressor(double sampleRate, double frequency, double threshold, double ratio,
                 double attackMs, double releaseMs) {
   const double w = 2 * kPi * frequency / sampleRate;
   const double attack = 1 - std::exp(-1000 / (attackMs * sampleRate));
   const double release = 1 - std::exp(-1000 / (releaseMs * sampleRate));
   return [=, previous = 0.0, gain = 0.0](double x) mutable {
      const double a2 = (x * x - 2 * x * previous * std::cos(w) + previous * previous) /
                        (std::sin(w) * std::sin(w));
      previous = x;
      const double level = a2 > 0 ? 10 * std::log10(a2) : -400;
      const double target = level > threshold ? (level - threshold) * (1 / ratio - 1) : 0;
      gain += (target - gain) * (target < gain ? attack : release);
      return x * std::pow(10, gain / 20);
   };
}

TEST(Dynamics, ReadsACompressorsStaticCurveAndTimeConstants) {
   const double fs = 48000;
   // A linear device first: its curve is the identity and there is nothing to time.
   auto linear = curveDevice([](double x) { return 0.5 * x; });
   const auto flat = measureDynamics(linear, {});
   ASSERT_EQ(flat["status"], "ok");
   EXPECT_TRUE(flat["attack_ms"].is_null());
   EXPECT_TRUE(flat.contains("release_ms_reason"));
   const auto& inputs = flat["input_dbfs"];
   EXPECT_EQ(inputs.front(), -90);
   EXPECT_EQ(inputs.back(), 6);
   for (size_t i = 0; i < inputs.size(); ++i)
      EXPECT_NEAR(flat["output_dbfs"][1][i].get<double>(), inputs[i].get<double>() - 6.0206, 1e-6);

   // A tremolo's level never settles: what looks like a gain changing with level is not timed.
   auto tremolo = FunctionDevice::perSample({.outputs = 1}, [] {
      return [t = 0.0](double x) mutable {
         return x * (1 + 0.5 * std::sin(2 * kPi * 3 * (t += 1.0 / 48000)));
      };
   });
   const auto moving = measureDynamics(tremolo, {});
   EXPECT_FALSE(moving["unsettled_dbfs"].empty());
   EXPECT_TRUE(moving["attack_ms"].is_null());
   EXPECT_TRUE(flat["unsettled_dbfs"].empty());

   const double f = flat["frequency_hz"], threshold = -30, ratio = 4;
   struct Times {
      double attack, release;
   };
   for (const auto times : {Times{5, 50}, Times{20, 200}}) {
      auto device = FunctionDevice::perSample({.sampleRate = fs}, [=] {
         return compressor(fs, f, threshold, ratio, times.attack, times.release);
      });
      const auto dynamics = measureDynamics(device, {});
      for (size_t i = 0; i < inputs.size(); ++i) {
         const double in = inputs[i];
         const double expected = in > threshold ? threshold + (in - threshold) / ratio : in;
         EXPECT_NEAR(dynamics["output_dbfs"][0][i].get<double>(), expected, 0.3) << in;
      }
      ASSERT_TRUE(dynamics["attack_ms"].is_number()) << dynamics.dump();
      EXPECT_NEAR(dynamics["attack_ms"].get<double>(), times.attack, 0.05 * times.attack);
      EXPECT_NEAR(dynamics["release_ms"].get<double>(), times.release, 0.05 * times.release);
   }
}

// ---- Aliasing -----------------------------------------------------------------------------

// The power of a curve applied to the sampled sine of `frequency` (coherent with some power of
// two of frames) everywhere but DC, the tone and its harmonics below Nyquist, against the tone.
double aliasReference(const Curve& curve, double frequency, double dbfs, double fs) {
   size_t n = 1024;
   while (std::abs(frequency * double(n) / fs - std::round(frequency * double(n) / fs)) > 1e-9)
      n *= 2;
   std::vector<double> y(n);
   for (size_t i = 0; i < n; ++i)
      y[i] = curve(std::pow(10, dbfs / 20) * std::sin(2 * kPi * frequency * double(i) / fs));
   const auto bin = [&](double f) {
      std::complex<double> sum = 0;
      for (size_t i = 0; i < n; ++i)
         sum += y[i] * std::polar(1.0, -2 * kPi * f * double(i) / fs);
      return std::norm(sum) / double(n) / double(n);
   };
   double total = 0;
   for (double v : y)
      total += v * v / double(n);
   double harmonics = bin(0);
   for (int k = 1; k * frequency < fs / 2; ++k)
      harmonics += 2 * bin(k * frequency);
   return 10 * std::log10((total - harmonics) / (2 * bin(frequency)));
}

TEST(Aliasing, MatchesTheSampledCurveAndIsAbsentFromALinearDevice) {
   const Curve shaper = [](double x) { return std::tanh(3 * x); };
   for (const double fs : {44100.0, 48000.0}) {
      auto device = curveDevice(shaper, {.sampleRate = fs, .outputs = 1});
      const auto aliasing = measureAliasing(device, {});
      ASSERT_EQ(aliasing["status"], "ok");
      EXPECT_EQ(aliasing["points"].size(), fs == 48000 ? 7u : 6u); // 20 kHz lies above 0.45 fs
      for (const auto& point : aliasing["points"]) {
         const double f = point["frequency_hz"];
         EXPECT_NEAR(point["alias_db"].get<double>(),
                     aliasReference(shaper, f, point["level_dbfs"], fs), 1.0)
             << f << " Hz at " << fs;
      }
   }
   auto identity = curveDevice([](double x) { return x; });
   const auto clean = measureAliasing(identity, {});
   for (const auto& point : clean["points"])
      EXPECT_TRUE(point["alias_db"].is_null() || point["alias_db"].get<double>() < -200)
          << point.dump();
   // The spectrogram of the rising sweep: its loudest bin climbs from slice to slice.
   const auto& spectrogram = clean["spectrogram"];
   ASSERT_EQ(spectrogram["time_s"].size(), 64u);
   ASSERT_EQ(spectrogram["frequency_hz"].size(), 256u);
   const auto loudest = [&](size_t slice) {
      const auto& row = spectrogram["power_db"][slice];
      size_t best = 0;
      for (size_t k = 1; k < row.size(); ++k)
         if (row[k].is_number() && (!row[best].is_number() || row[k] > row[best])) best = k;
      return best;
   };
   EXPECT_LT(loudest(2), loudest(32));
   EXPECT_LT(loudest(32), loudest(61));
}

// ---- Time ---------------------------------------------------------------------------------

// y[n] = x[n] + g y[n - delay], with g set for the given RT60.
std::function<std::function<double(double)>()> comb(double fs, size_t delay, double rt60) {
   const double g = rt60 > 0 ? std::pow(10, -3 * double(delay) / (fs * rt60)) : 1.0;
   return [=] {
      return [g, delay, line = std::vector<double>(delay), at = size_t(0)](double x) mutable {
         const double y = x + g * line[at];
         line[at] = y;
         at = (at + 1) % delay;
         return y;
      };
   };
}

// `inner` behind a delay of `frames`.
std::function<std::function<double(double)>()>
delayed(size_t frames, std::function<std::function<double(double)>()> inner) {
   return [=] {
      return [f = inner(), line = std::vector<double>(frames), at = size_t(0)](double x) mutable {
         const double y = line[at];
         line[at] = f(x);
         at = (at + 1) % line.size();
         return y;
      };
   };
}

TEST(Time, TailsAgainstKnownDecays) {
   struct Case {
      const char* name;
      std::function<std::function<double(double)>()> make;
      DeviceSetup setup;
      double capSeconds;
      double tail60, tail120; // NaN: null
      bool capped, flagged;
   };
   const double nan = std::numeric_limits<double>::quiet_NaN();
   const auto same = [](Curve c) { return [c] { return c; }; };
   const Case cases[] = {
       {"comb", comb(48000, 1103, 0.8), {.tail = 4800}, 30, 0.8, 1.6, false, true},
       {"comb at 96 kHz, reported",
        comb(96000, 997, 0.3),
        {.sampleRate = 96000, .tail = 60000},
        30,
        0.3,
        0.6,
        false,
        false},
       // The tail counts from where a host compensating the reported latency stops hearing the
       // input; a latency not reported is a tail.
       {"comb behind a reported latency",
        delayed(2400, comb(48000, 1103, 0.8)),
        {.latency = 2400, .tail = 48000},
        30,
        0.8,
        1.6,
        false,
        false},
       {"unreported delay",
        delayed(2400, same([](double x) { return x; })),
        {},
        30,
        0.05,
        0.05,
        false,
        true},
       {"endless", comb(48000, 480, 0), {}, 0.5, 0.5, 0.5, true, true},
       {"identity", same([](double x) { return x; }), {}, 30, 0, 0, false, false},
       {"hum", same([](double x) { return x + 1e-3; }), {}, 30, nan, nan, false, false},
   };
   for (const auto& c : cases) {
      auto device = FunctionDevice::perSample(c.setup, c.make);
      AnalysisOptions options;
      options.tailCapSeconds = c.capSeconds;
      const auto time = measureTime(device, options);
      ASSERT_EQ(time["status"], "ok") << c.name;
      const auto check = [&](const char* key, double expected) {
         if (std::isnan(expected)) {
            EXPECT_TRUE(time[key].is_null()) << c.name << " " << key;
            EXPECT_TRUE(time.contains(std::string(key) + "_reason")) << c.name << " " << key;
            return;
         }
         ASSERT_TRUE(time[key].is_number()) << c.name << " " << time.dump();
         EXPECT_NEAR(time[key].get<double>(), expected, std::max(0.002, 0.05 * expected))
             << c.name << " " << key;
         EXPECT_EQ(time[std::string(key) + "_capped"], c.capped) << c.name << " " << key;
      };
      check("tail_s_60db", c.tail60);
      check("tail_s_120db", c.tail120);
      EXPECT_EQ(time["tail_flagged"], c.flagged) << c.name;
      EXPECT_EQ(time["tail_reported"], c.setup.tail) << c.name;
   }
}

TEST(Time, NoiseFloorAndDcWithSilentInput) {
   auto silent = curveDevice([](double x) { return x; });
   const auto quiet = measureTime(silent, {});
   EXPECT_TRUE(quiet["noise_floor_dbfs"].is_null());
   EXPECT_TRUE(quiet.contains("noise_floor_dbfs_reason"));
   EXPECT_EQ(quiet["dc_offset"], 0.0);
   auto humming = curveDevice([](double x) { return x - 1e-3; }, {.outputs = 1});
   const auto hum = measureTime(humming, {});
   EXPECT_NEAR(hum["noise_floor_dbfs"].get<double>(), db(1e-3 * std::numbers::sqrt2), 1e-9);
   EXPECT_NEAR(hum["dc_offset"].get<double>(), -1e-3, 1e-12);
}

// ---- Instruments, and which measurement applies to what -----------------------------------

// A sine at the pitch of the last note held, at half scale.
BlockFunction organ(double fs) {
   return [fs, note = -1, phase = 0.0](std::span<const double> in,
                                       std::span<const MidiEvent> events, Channels& out) mutable {
      size_t next = 0;
      for (size_t i = 0; i < in.size(); ++i) {
         for (; next < events.size() && events[next].frame <= int64_t(i); ++next) {
            const auto& e = events[next];
            if ((e.data[0] & 0xF0) == 0x90 && e.data[2] > 0)
               note = e.data[1];
            else if ((e.data[0] & 0xF0) == 0x80 && e.data[1] == note)
               note = -1;
         }
         double y = 0;
         if (note >= 0) {
            phase += 2 * kPi * 440 * std::pow(2, (note - 69) / 12.0) / fs;
            y = 0.5 * std::sin(phase);
         }
         for (auto& channel : out)
            channel[i] = y;
      }
   };
}

TEST(Instrument, PlaysNotesAndOnlyInstrumentsTakeThem) {
   FunctionDevice synth({.inputs = 0}, [] { return organ(48000); });
   const auto instrument = measureInstrument(synth, {});
   ASSERT_EQ(instrument["status"], "ok");
   EXPECT_NEAR(instrument["peak_dbfs"].get<double>(), db(0.5), 0.01);
   EXPECT_LT(instrument["level_dbfs"].get<double>(), db(0.5));
   EXPECT_GT(instrument["level_dbfs"].get<double>(), db(0.5) - 6);
   // The loudest point of the spectrum lies on one of the notes, C4 to C5.
   const auto& spectrum = instrument["spectrum"];
   size_t best = 0;
   for (size_t i = 0; i < spectrum["frequency_hz"].size(); ++i)
      if (spectrum["magnitude_db"][0][i].is_number() &&
          (!spectrum["magnitude_db"][0][best].is_number() ||
           spectrum["magnitude_db"][0][i] > spectrum["magnitude_db"][0][best]))
         best = i;
   EXPECT_GT(spectrum["frequency_hz"][best].get<double>(), 250);
   EXPECT_LT(spectrum["frequency_hz"][best].get<double>(), 540);

   auto effect = curveDevice([](double x) { return x; });
   EXPECT_EQ(measureInstrument(effect, {})["status"], "not_applicable");
   for (auto* measure : {&measureThd, &measureDynamics, &measureAliasing, &measureTime}) {
      const auto section = (*measure)(synth, {});
      EXPECT_EQ(section["status"], "not_applicable");
      EXPECT_EQ(section["reason"],
                "needs an audio input: the plug-in is an instrument without one");
   }
}

// The measurements keep their signals short: a plug-in as costly as a reverb plays these in a
// few seconds. The audio played by a linear device, counted.
TEST(Budget, AudioPlayedByTheMeasurementsStaysShort) {
   auto device = curveDevice([](double x) { return x; });
   for (auto* measure : {&measureThd, &measureDynamics, &measureAliasing, &measureTime})
      (*measure)(device, {});
   EXPECT_LT(double(device.framesPlayed()) / 48000, 20.0);
}

} // namespace
} // namespace trimwise::host::analysis
