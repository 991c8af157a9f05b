// SPDX-License-Identifier: MIT
// A pure delay of round(ms * fs / 1000) frames that reports no latency: a host compensating
// the reported figure misaligns the track by the whole delay. "Delay": 10 ms * value.
#include "tests/analysis/plugins/known_answer.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double kMaxMilliseconds = 10.0;

class Delay : public KnownAnswer<Delay> {
public:
   explicit Delay(audioMasterCallback audioMaster)
       : KnownAnswer(audioMaster, "KA Unreported Delay", fourCharCode('K', 'A', 'd', 'l'),
                     {{"Delay", "ms", 0.25f}}) {
      prepare();
   }

   template <typename T>
   void run(T** inputs, T** outputs, int32_t frames) {
      int32_t position = 0;
      for (int c = 0; c < 2; ++c) {
         position = next;
         double* channel = line[c].data();
         for (int32_t i = 0; i < frames; ++i) {
            const double x = static_cast<double>(inputs[c][i]);
            if (length == 0) {
               outputs[c][i] = static_cast<T>(x);
               continue;
            }
            outputs[c][i] = static_cast<T>(channel[position]);
            channel[position] = x;
            position = position + 1 == length ? 0 : position + 1;
         }
      }
      next = position;
   }

protected:
   double physical(int32_t, double value) const override { return kMaxMilliseconds * value; }
   void allocate() override {
      const auto frames = static_cast<size_t>(std::ceil(kMaxMilliseconds * rate() / 1000.0)) + 1;
      for (auto& channel : line)
         channel.assign(frames, 0.0);
   }
   void update() override {
      const long frames = std::lround(parameter(0) * rate() / 1000.0);
      const auto longest = static_cast<long>(line[0].size());
      const int32_t changedLength = static_cast<int32_t>(frames < longest ? frames : longest);
      if (changedLength != length) {
         length = changedLength;
         clear();
      }
   }
   void clear() override {
      for (auto& channel : line)
         std::fill(channel.begin(), channel.end(), 0.0);
      next = 0;
   }

private:
   std::vector<double> line[2];
   int32_t length = 0;
   int32_t next = 0;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Delay(audioMaster);
}
