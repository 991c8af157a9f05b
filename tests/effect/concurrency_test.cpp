// SPDX-License-Identifier: MIT
// The host's threads meeting in one instance: an automation thread changes both gains while the
// audio thread processes block after block and a user-interface thread reads values and display
// texts. Every output sample must be its input times one of the gains that was set; a 64-bit
// block uses one gain per channel throughout. Run under ThreadSanitizer in CI.
#include "tests/host/host_double.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

using namespace hostdouble;

namespace {

// Left and right sets share no value, so a gain applied to the wrong channel shows.
constexpr float kLeftGains[] = {0.5f, 0.25f, 0.1f, 0.75f};
constexpr float kRightGains[] = {2.0f, 1.5f, 0.3f, 3.0f};
constexpr int kNumGains = 4;

template <typename T>
using BitsOfSample = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;

// Failures from worker threads, reported by the test's own thread.
class Failures {
public:
   void add(const std::string& what) {
      std::lock_guard lock(mutex_);
      if (count_++ == 0) first_ = what;
   }
   int count() const {
      std::lock_guard lock(mutex_);
      return count_;
   }
   std::string first() const {
      std::lock_guard lock(mutex_);
      return first_;
   }

private:
   mutable std::mutex mutex_;
   int count_ = 0;
   std::string first_;
};

// Which gain of `gains` makes `out` from `in`, bit for bit; -1 if none does.
template <typename T>
int gainUsed(T in, T out, const float (&gains)[kNumGains]) {
   for (int g = 0; g < kNumGains; ++g) {
      if (std::bit_cast<BitsOfSample<T>>(T(in * T(gains[g]))) ==
          std::bit_cast<BitsOfSample<T>>(out)) {
         return g;
      }
   }
   return -1;
}

template <typename T>
struct Block {
   std::vector<T> inL, inR, outL, outR;
   explicit Block(size_t n) : inL(n), inR(n), outL(n), outR(n) {}
};

class AudioThread {
public:
   AudioThread(const Instance& fx, Failures& failures) : fx_(fx), failures_(failures) {}

   // Processes `minBlocks` blocks, alternating 32 and 64 bits, and goes on (for a few seconds at
   // most) until both channels have been seen with at least two different gains.
   void run(int minBlocks) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      for (int block = 0; block < minBlocks || !sawChanges(); ++block) {
         if (block >= minBlocks && std::chrono::steady_clock::now() > deadline) break;
         const auto frames = static_cast<int32_t>(1 + (block * 37) % 256);
         if (block % 2 == 0) {
            processBlock<float>(block, frames);
         } else {
            processBlock<double>(block, frames);
         }
      }
   }

   bool sawChanges() const {
      return std::count(seenLeft_, seenLeft_ + kNumGains, true) >= 2 &&
             std::count(seenRight_, seenRight_ + kNumGains, true) >= 2;
   }

private:
   template <typename T>
   void processBlock(int block, int32_t frames) {
      Block<T> b(static_cast<size_t>(frames));
      for (int32_t i = 0; i < frames; ++i) {
         b.inL[size_t(i)] = T(1) + T(i) / T(64) + T(block % 7);
         b.inR[size_t(i)] = -T(3) - T(i) / T(128);
      }
      T* ins[] = {b.inL.data(), b.inR.data()};
      T* outs[] = {b.outL.data(), b.outR.data()};
      fx_.process(ins, outs, frames);

      // The 64-bit loop holds both gains for the whole block.
      constexpr bool kOneGainPerBlock = std::is_same_v<T, double>;
      int blockLeft = -1, blockRight = -1;
      for (size_t i = 0; i < size_t(frames); ++i) {
         const int l = gainUsed(b.inL[i], b.outL[i], kLeftGains);
         const int r = gainUsed(b.inR[i], b.outR[i], kRightGains);
         if (l < 0 || r < 0) {
            failures_.add("block " + std::to_string(block) + " (" + std::to_string(sizeof(T) * 8) +
                          "-bit), frame " + std::to_string(i) + ": output is not input x a gain");
            return;
         }
         seenLeft_[l] = seenRight_[r] = true;
         if (kOneGainPerBlock &&
             ((blockLeft >= 0 && l != blockLeft) || (blockRight >= 0 && r != blockRight))) {
            failures_.add("64-bit block " + std::to_string(block) + " changed gain at frame " +
                          std::to_string(i));
            return;
         }
         blockLeft = l;
         blockRight = r;
      }
   }

   const Instance& fx_;
   Failures& failures_;
   bool seenLeft_[kNumGains] = {};
   bool seenRight_[kNumGains] = {};
};

TEST(EffectConcurrency, GainChangesDuringProcessingAndReading) {
#if defined(TRIMWISE_EMULATED) && defined(__i386__)
   // qemu-i386 7.2 never returns from pthread_create in a dynamically linked program (a static
   // one runs): the threads are exercised on the other targets.
   GTEST_SKIP() << "qemu-i386 cannot start a thread in a dynamically linked program";
#endif
   ASSERT_TRUE(plugin().loaded()) << plugin().error();
   Instance fx;
   ASSERT_TRUE(fx);
   fx.start();
   fx.setParameter(0, kLeftGains[0]);
   fx.setParameter(1, kRightGains[0]);

   std::vector<std::string> leftTexts, rightTexts;
   for (int g = 0; g < kNumGains; ++g) {
      leftTexts.push_back(expectedGainText(kLeftGains[g]));
      rightTexts.push_back(expectedGainText(kRightGains[g]));
   }

   Failures failures;
   std::atomic<bool> audioDone{false};
   std::latch started(3);

   std::thread automation([&] {
      started.arrive_and_wait();
      for (unsigned i = 0; !audioDone.load(std::memory_order_acquire); ++i) {
         fx.setParameter(0, kLeftGains[i % kNumGains]);
         fx.setParameter(1, kRightGains[(i / 3) % kNumGains]);
         fx.setParameter(2, 9.0f); // names no parameter: must change nothing
         fx.setParameter(-1, 9.0f);
         if (i % 64 == 0) std::this_thread::yield();
      }
   });

   std::thread userInterface([&] {
      started.arrive_and_wait();
      auto isOneOf = [](const std::string& s, const std::vector<std::string>& set) {
         return std::find(set.begin(), set.end(), s) != set.end();
      };
      while (!audioDone.load(std::memory_order_acquire)) {
         const float l = fx.getParameter(0), r = fx.getParameter(1);
         if (std::find(std::begin(kLeftGains), std::end(kLeftGains), l) == std::end(kLeftGains) ||
             std::find(std::begin(kRightGains), std::end(kRightGains), r) ==
                 std::end(kRightGains) ||
             fx.getParameter(2) != 0.0f) {
            failures.add("getParameter read a value that was never set");
         }
         char left[9 + 8], right[9 + 8];
         fx.dispatch(effGetParamDisplay, 0, 0, left);
         fx.dispatch(effGetParamDisplay, 1, 0, right);
         if (!isOneOf(left, leftTexts) || !isOneOf(right, rightTexts)) {
            failures.add(std::string("display texts \"") + left + "\" and \"" + right +
                         "\" belong to no gain that was set");
         }
      }
   });

   AudioThread audio(fx, failures);
   started.arrive_and_wait();
   audio.run(4000 / kIterationDivisor);
   audioDone.store(true, std::memory_order_release);
   automation.join();
   userInterface.join();

   EXPECT_EQ(failures.count(), 0) << failures.first();
   EXPECT_TRUE(audio.sawChanges()) << "the gains never changed while processing ran";
}

} // namespace
