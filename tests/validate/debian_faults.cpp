// SPDX-License-Identifier: MIT
// Shows each fault listed in debian_expected.txt with nothing but the calls a host makes, so that
// no FAIL of `plughost validate` on a third-party plug-in rests on the validator's own habits.
// Usage: debian_faults PLUGIN.so odd-blocks | in-place | sweep N | automation | reopen
//   odd-blocks  13-frame blocks in buffers of exactly 13 frames (run under valgrind to see the
//               reads past their end)
//   in-place    the same noise in place and through separate buffers: how far the sound differs
//   sweep N     parameter N swept from 0 to 1 as automation does
//   automation  parameters automated from a second thread while the audio thread plays
//   reopen      a project saved with the chunk and opened again in a fresh instance
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/plugin_module.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace plughost;

namespace {

float noise(int64_t frame, int channel) {
   uint32_t x = uint32_t(frame) * 2654435761u + uint32_t(channel) * 97u;
   x ^= x >> 13;
   x *= 0x5bd1e995u;
   x ^= x >> 15;
   return float(x % 20000) / 10000.0f - 1.0f;
}

// Plays `total` frames of noise in blocks of `block`, each block in buffers of exactly its size,
// in place or not; returns the first output channel.
std::vector<float> play(PluginInstance& p, int block, int64_t total, bool inPlace) {
   const int ins = p.record().numInputs, outs = p.record().numOutputs;
   std::vector<float> result;
   p.start();
   for (int64_t at = 0; at < total; at += block) {
      std::vector<std::vector<float>> in(size_t(ins),
                                         std::vector<float>(static_cast<size_t>(block)));
      std::vector<std::vector<float>> out(size_t(outs),
                                          std::vector<float>(static_cast<size_t>(block)));
      std::vector<float*> inPointers, outPointers;
      for (int c = 0; c < ins; ++c) {
         for (int i = 0; i < block; ++i)
            in[size_t(c)][size_t(i)] = noise(at + i, c);
         inPointers.push_back(in[size_t(c)].data());
      }
      for (auto& channel : out)
         outPointers.push_back(channel.data());
      float** outputs = inPlace ? inPointers.data() : outPointers.data();
      p.process(inPointers.data(), outputs, block);
      result.insert(result.end(), outputs[0], outputs[0] + block);
   }
   p.stop();
   return result;
}

} // namespace

int main(int argc, char** argv) {
   if (argc < 3) {
      std::fprintf(stderr, "usage: debian_faults PLUGIN.so odd-blocks|in-place|sweep N|"
                           "automation|reopen\n");
      return 2;
   }
   const std::string what = argv[2];
   auto module = PluginModule::load(argv[1]);
   if (what == "odd-blocks") {
      PluginInstance p(module);
      const auto out = play(p, 13, 13 * 100, false);
      std::printf("played 100 blocks of 13 frames\n");
   } else if (what == "in-place") {
      PluginInstance a(module), b(module);
      const auto x = play(a, 512, 512 * 43, false), y = play(b, 512, 512 * 43, true);
      double difference = 0, energy = 0;
      for (size_t i = 0; i < x.size(); ++i) {
         difference += double(x[i] - y[i]) * double(x[i] - y[i]);
         energy += double(x[i]) * double(x[i]);
      }
      std::printf("in place against separate buffers: %.1f dB\n",
                  10.0 * std::log10(difference / energy));
   } else if (what == "sweep" && argc > 3) {
      PluginInstance p(module);
      const int index = std::atoi(argv[3]);
      float value = 0;
      try {
         for (int i = 0; i <= 1000; ++i)
            p.setParameter(index, value = float(i) / 1000.0f);
         std::printf("swept parameter %d from 0 to 1\n", index);
      } catch (const std::exception& e) {
         std::printf("setParameter(%d, %g) threw %s\n", index, double(value), e.what());
      }
   } else if (what == "automation") {
      const pid_t child = fork();
      if (child == 0) {
         PluginInstance p(module);
         std::atomic<bool> stop{false};
         std::thread automation([&] {
            for (uint32_t r = 1; !stop; r = r * 1103515245u + 12345u)
               p.setParameter(int32_t((r >> 8) % uint32_t(p.record().numParams)),
                              float((r >> 4) % 1000) / 1000.0f);
         });
         play(p, 512, 44100 * 20, false);
         stop = true;
         automation.join();
         _exit(0);
      }
      int status = 0;
      waitpid(child, &status, 0);
      std::printf("automation while playing: %s\n",
                  WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "survived");
   } else if (what == "reopen") {
      PluginInstance saved(module);
      saved.setParameter(0, 0.448f);
      void* data = nullptr;
      const intptr_t size = saved.dispatch(effGetChunk, 0, 0, &data);
      std::vector<char> chunk(static_cast<char*>(data), static_cast<char*>(data) + size);
      PluginInstance reopened(module);
      reopened.dispatch(effSetChunk, 0, size, chunk.data());
      std::printf("parameter 0 shows \"%s\" when saved and \"%s\" when reopened\n",
                  saved.parameterDisplay(0).c_str(), reopened.parameterDisplay(0).c_str());
   } else {
      std::fprintf(stderr, "unknown demonstration '%s'\n", what.c_str());
      return 2;
   }
   return 0;
}
