// SPDX-License-Identifier: MIT
// The cost section: how many times faster than real time the plug-in processes, per block size
// and precision, timed alone on the machine (a lock file keeps other analyses from timing at the
// same moment), with a word on whether something else kept the machine busy meanwhile.
#include "tools/hostlib/analysis/dsp.h"
#include "tools/hostlib/analysis/measurements.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace trimwise::host::analysis {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRuns = 5;
constexpr double kSecondsPerRun = 0.5; // of audio, rounded up to whole buffers
constexpr size_t kBuffer = 4096;       // frames of noise, a multiple of every block size
constexpr double kNoiseDbfs = -12.0;
// Other cores busier than this during the timing mark the figures as taken on a loaded machine.
constexpr double kLoadedFraction = 0.25;
// The shortest window the cores' busy time is read over: /proc/stat counts in ticks of 10 ms.
constexpr double kLoadWindowSeconds = 0.3;

const std::vector<int32_t> kBlockSizes = {32, 64, 128, 256, 512, 1024, 2048, 4096};

int openLockFile(const char* name) {
   const auto path = std::filesystem::temp_directory_path() / name;
   return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

constexpr const char* kMachineLock = "plughost-analyze-cost.lock";
// Passed by every measurement before it shares the machine and held by a cost section while it
// waits for it, so that a stream of measurements cannot keep a cost section waiting.
constexpr const char* kTurnstile = "plughost-analyze-turnstile.lock";
// The longest a measurement waits for a cost section to end.
constexpr int kShareWaitSeconds = 20;

// Waits for `operation` on `fd` until `deadline`; false if it was not granted by then.
bool lockBefore(int fd, int operation, Clock::time_point deadline) {
   for (;;) {
      if (::flock(fd, operation | LOCK_NB) == 0) return true;
      if (errno != EWOULDBLOCK && errno != EINTR) return false;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
   }
}

// Held while timing: the machine to itself as far as plughost goes. Every measurement of every
// analysis shares the same lock file while it runs (MachineShare), and the cost section takes
// it exclusively, so collection workers neither time at once nor measure while another times.
// It waits for the others at most `patience` seconds, and then times anyway, saying so.
class CostLock {
public:
   explicit CostLock(double patience) {
      const auto start = Clock::now();
      const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(patience));
      const int turnstile = openLockFile(kTurnstile);
      if (turnstile >= 0) lockBefore(turnstile, LOCK_EX, deadline);
      fd_ = openLockFile(kMachineLock);
      if (fd_ >= 0 && !lockBefore(fd_, LOCK_EX, deadline)) {
         ::close(fd_);
         fd_ = -1;
      }
      if (turnstile >= 0) ::close(turnstile);
      waited_ = std::chrono::duration<double>(Clock::now() - start).count();
   }
   ~CostLock() {
      if (fd_ >= 0) ::close(fd_); // releases the lock
   }
   CostLock(const CostLock&) = delete;
   CostLock& operator=(const CostLock&) = delete;
   bool held() const { return fd_ >= 0; }
   double waited() const { return waited_; }

private:
   int fd_ = -1;
   double waited_ = 0;
};

// Busy and total time of all cores, from /proc/stat, in clock ticks.
struct CpuTimes {
   double busy = 0, total = 0;
};

CpuTimes cpuTimes() {
   std::ifstream stat("/proc/stat");
   std::string label;
   CpuTimes t;
   if (!(stat >> label) || label != "cpu") return t;
   // user nice system idle iowait irq softirq steal (guest time is already in user)
   double field[8] = {};
   for (double& f : field)
      stat >> f;
   t.total = field[0] + field[1] + field[2] + field[3] + field[4] + field[5] + field[6] + field[7];
   t.busy = t.total - field[3] - field[4];
   return t;
}

// CPU time of this process (all its threads), in clock ticks.
double ownTicks() {
   rusage usage{};
   ::getrusage(RUSAGE_SELF, &usage);
   const auto seconds = [](const timeval& tv) { return double(tv.tv_sec) + tv.tv_usec * 1e-6; };
   return (seconds(usage.ru_utime) + seconds(usage.ru_stime)) * double(::sysconf(_SC_CLK_TCK));
}

double loadAverage() {
   std::ifstream in("/proc/loadavg");
   double oneMinute = NAN;
   in >> oneMinute;
   return oneMinute;
}

// The stimulus goes to the main inputs: all of them, unless the plug-in has more inputs than
// outputs, when those beyond the outputs are taken for side-chains and stay silent.
int32_t mainInputs(Instance& instance, bool sideChain) {
   const int32_t in = std::max(instance.inputs(), 0);
   if (sideChain || instance.outputs() <= 0) return in;
   return std::min(in, instance.outputs());
}

// Deterministic uniform noise of the given RMS (xorshift64*, the same every run).
std::vector<double> noise(size_t frames, double rmsLevel, uint64_t seed) {
   std::vector<double> x(frames);
   const double amplitude = rmsLevel * std::sqrt(3.0);
   for (double& v : x) {
      seed ^= seed >> 12;
      seed ^= seed << 25;
      seed ^= seed >> 27;
      const uint64_t r = seed * 0x2545F4914F6CDD1DULL;
      v = amplitude * (2.0 * double(r >> 11) * 0x1.0p-53 - 1.0);
   }
   return x;
}

double median(std::vector<double> v) {
   std::sort(v.begin(), v.end());
   const size_t n = v.size();
   return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Times one precision over every block size: the real-time factor (median of the runs) and the
// spread (max - min) / median of each block size.
template <class Sample>
void timePrecision(Instance& instance, const AnalysisOptions& options, bool notes, Json& factors,
                   Json& spreads) {
   const int32_t inputs = std::max(instance.inputs(), 0);
   const int32_t outputs = std::max(instance.outputs(), 0);
   const int32_t fed = mainInputs(instance, options.sideChain);
   const double rate = instance.sampleRate();
   const double level = dbfsToPeak(kNoiseDbfs) / std::sqrt(2.0);
   std::vector<std::vector<Sample>> in(static_cast<size_t>(inputs), std::vector<Sample>(kBuffer));
   std::vector<std::vector<Sample>> out(static_cast<size_t>(outputs), std::vector<Sample>(kBuffer));
   for (int32_t c = 0; c < fed; ++c) {
      const auto x = noise(kBuffer, level, 0x9E3779B97F4A7C15ULL + uint64_t(c));
      std::copy(x.begin(), x.end(), in[size_t(c)].begin());
   }
   std::vector<const Sample*> inPointers(static_cast<size_t>(inputs));
   std::vector<Sample*> outPointers(static_cast<size_t>(outputs));
   const size_t buffers = static_cast<size_t>(std::ceil(kSecondsPerRun * rate / double(kBuffer)));
   const double seconds = double(buffers * kBuffer) / rate;
   constexpr unsigned char kChord[3] = {60, 64, 67};
   MidiEvent on[3], off[3];
   for (int i = 0; i < 3; ++i) {
      on[i] = {0, {0x90, kChord[i], 100}};
      off[i] = {0, {0x80, kChord[i], 0}};
   }

   // Plays `buffers` buffers in calls of the instance's block size, the notes of an instrument
   // held throughout, and returns the seconds it took.
   const auto run = [&](size_t count) {
      const auto block = static_cast<size_t>(instance.blockSize());
      const auto start = Clock::now();
      for (size_t b = 0; b < count; ++b) {
         for (size_t offset = 0; offset < kBuffer; offset += block) {
            for (size_t c = 0; c < inPointers.size(); ++c)
               inPointers[c] = in[c].data() + offset;
            for (size_t c = 0; c < outPointers.size(); ++c)
               outPointers[c] = out[c].data() + offset;
            std::span<const MidiEvent> events;
            if (notes && b == 0 && offset == 0) events = on;
            if (notes && b + 1 == count && offset + block >= kBuffer) events = off;
            instance.process(inPointers.data(), outPointers.data(), block, events);
         }
      }
      return std::chrono::duration<double>(Clock::now() - start).count();
   };

   Json factor = Json::array(), spread = Json::array();
   for (const int32_t blockSize : kBlockSizes) {
      instance.stop();
      instance.setBlockSize(blockSize);
      instance.start();
      run(1); // warms caches, and lets a plug-in settle its buffers for the block size
      std::vector<double> factorsOfRuns;
      for (int r = 0; r < kRuns; ++r) {
         const double elapsed = run(buffers);
         for (size_t c = 0; c < out.size(); ++c) {
            for (size_t i = 0; i < kBuffer; ++i) {
               if (!std::isfinite(double(out[c][i]))) {
                  std::ostringstream text;
                  text << "output " << (std::isnan(double(out[c][i])) ? "NaN" : "infinity")
                       << " on output " << c << " after "
                       << (sizeof(Sample) == 8 ? "processDoubleReplacing" : "processReplacing")
                       << " in blocks of " << blockSize << " frames, playing noise at "
                       << kNoiseDbfs << " dBFS";
                  throw MeasurementFailed(text.str());
               }
            }
         }
         factorsOfRuns.push_back(seconds / std::max(elapsed, 1e-9));
      }
      const double middle = median(factorsOfRuns);
      const auto [low, high] = std::minmax_element(factorsOfRuns.begin(), factorsOfRuns.end());
      factor.push_back(plughost::jsonNumber(middle));
      spread.push_back(plughost::jsonNumber((*high - *low) / middle));
   }
   instance.stop();
   const std::string key = sizeof(Sample) == 8 ? "64" : "32";
   factors[key] = std::move(factor);
   spreads[key] = std::move(spread);
}

} // namespace

MachineShare::MachineShare() {
   // A cost section is short; one that has not ended by then is stuck, and measuring beside it
   // beats running out of time waiting for it.
   const auto deadline = Clock::now() + std::chrono::seconds(kShareWaitSeconds);
   const int turnstile = openLockFile(kTurnstile);
   if (turnstile >= 0) {
      lockBefore(turnstile, LOCK_SH, deadline);
      ::close(turnstile);
   }
   fd_ = openLockFile(kMachineLock);
   if (fd_ >= 0 && !lockBefore(fd_, LOCK_SH, deadline)) {
      ::close(fd_);
      fd_ = -1;
   }
}

MachineShare::~MachineShare() {
   if (fd_ >= 0) ::close(fd_);
}

Json measureCost(const Plugin& plugin, const AnalysisOptions& options) {
   InstanceOptions instanceOptions;
   instanceOptions.sampleRate = options.sampleRate;
   instanceOptions.blockSize = kBlockSizes.back();
   instanceOptions.realtime = true; // timed as a live host runs it
   Instance instance = plugin.instantiate(instanceOptions);
   if (!options.state.empty()) instance.setState(options.state);
   for (const auto& setting : options.settings)
      instance.set(setting);
   const bool notes = instance.isInstrument();

   std::vector<int> precisions;
   if (options.precision != 64) precisions.push_back(32);
   if (options.precision != 32 && instance.canProcessDouble()) precisions.push_back(64);
   if (precisions.empty()) {
      return Json{{"status", "not_applicable"},
                  {"reason", "the plug-in does not process 64-bit samples"}};
   }

   Json factors = Json::object(), spreads = Json::object();
   CpuTimes before;
   double ownBefore = 0, seconds = 0, waited = 0;
   bool locked = false;
   {
      // Half the measurement's time limit at most, so that a plug-in hanging elsewhere cannot
      // make this one's cost section run out of time.
      const CostLock lock(options.timeoutSeconds / 2);
      locked = lock.held();
      waited = lock.waited();
      before = cpuTimes();
      ownBefore = ownTicks();
      const auto start = Clock::now();
      for (const int precision : precisions) {
         if (precision == 64) {
            timePrecision<double>(instance, options, notes, factors, spreads);
         } else {
            timePrecision<float>(instance, options, notes, factors, spreads);
         }
      }
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
   }
   // A timing shorter than a few ticks says nothing of the other cores: read them a little
   // longer, idle, and with the lock already free for the next plug-in.
   if (seconds < kLoadWindowSeconds) {
      std::this_thread::sleep_for(std::chrono::duration<double>(kLoadWindowSeconds - seconds));
   }
   const CpuTimes after = cpuTimes();
   const double own = ownTicks() - ownBefore;

   // What the rest of the machine did meanwhile: the busy share of all cores' time once this
   // process's own time is taken out.
   const double others = (after.total - before.total) - own;
   const double othersBusy = (after.busy - before.busy) - own;
   const double busy = others > 0 ? std::clamp(othersBusy / others, 0.0, 1.0) : 0.0;
   const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
   const double load = loadAverage();

   Json blockSizes = Json::array();
   for (const int32_t b : kBlockSizes)
      blockSizes.push_back(b);
   Json result = {
       {"status", "ok"},
       {"block_sizes", std::move(blockSizes)},
       {"realtime_factor", std::move(factors)},
       {"spread", std::move(spreads)},
       {"runs", kRuns},
       {"seconds_per_run",
        plughost::jsonNumber(std::ceil(kSecondsPerRun * options.sampleRate / double(kBuffer)) *
                             double(kBuffer) / options.sampleRate)},
       {"stimulus", notes ? "notes 60, 64, 67 held" : "noise at -12 dBFS"},
       {"machine_loaded", busy > kLoadedFraction},
       {"other_cores_busy", plughost::jsonNumber(busy)},
       {"load_average", plughost::jsonNumber(load)},
       {"cores", cores},
       {"alone", locked},
       {"lock_wait_s", plughost::jsonNumber(waited)},
       {"seconds", plughost::jsonNumber(seconds)}};
   if (!std::isfinite(load)) result["load_average_reason"] = "/proc/loadavg cannot be read";
   if (!locked) {
      result["lock_reason"] = "timed without waiting any longer for the other analyses on this "
                              "machine to pause (or the lock file in the temporary folder cannot "
                              "be opened)";
   }
   return result;
}

} // namespace trimwise::host::analysis
