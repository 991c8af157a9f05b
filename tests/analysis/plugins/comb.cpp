// SPDX-License-Identifier: MIT
// A feedback comb, y[n] = x[n] + g y[n-D] with D = round(7.3 ms * fs), output (1 - g) y so that
// its peaks have unity gain. g = 10^(-3 D / (fs RT60)): the output falls 60 dB in RT60 seconds
// once the input stops. It reports a tail of only a quarter of that.
// "Decay": RT60 = 4 s * value (at least 50 ms).
#include "tests/analysis/plugins/known_answer.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double kDelaySeconds = 0.0073;
constexpr double kReportedShare = 0.25;

class Comb : public KnownAnswer<Comb> {
public:
   explicit Comb(audioMasterCallback audioMaster)
       : KnownAnswer(audioMaster, "KA Comb", fourCharCode('K', 'A', 'c', 'b'),
                     {{"Decay", "s", 0.25f}}) {
      prepare();
   }

   template <typename T>
   void run(T** inputs, T** outputs, int32_t frames) {
      int32_t position = 0;
      for (int c = 0; c < 2; ++c) {
         position = next;
         double* channel = line[c].data();
         for (int32_t i = 0; i < frames; ++i) {
            const double y = static_cast<double>(inputs[c][i]) + feedback * channel[position];
            channel[position] = y;
            position = position + 1 == length ? 0 : position + 1;
            outputs[c][i] = static_cast<T>((1.0 - feedback) * y);
         }
      }
      next = position;
   }

   int32_t getGetTailSize() override {
      return static_cast<int32_t>(std::lround(kReportedShare * parameter(0) * rate()));
   }

protected:
   double physical(int32_t, double value) const override { return std::max(0.05, 4.0 * value); }
   void allocate() override {
      length = static_cast<int32_t>(std::max(1L, std::lround(kDelaySeconds * rate())));
      for (auto& channel : line)
         channel.assign(static_cast<size_t>(length), 0.0);
   }
   void update() override { feedback = std::pow(10.0, -3.0 * length / (rate() * parameter(0))); }
   void clear() override {
      for (auto& channel : line)
         std::fill(channel.begin(), channel.end(), 0.0);
      next = 0;
   }

private:
   std::vector<double> line[2];
   int32_t length = 1;
   int32_t next = 0;
   double feedback = 0.0;
};

} // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
   return new Comb(audioMaster);
}
