// SPDX-License-Identifier: MIT
// play_through PLUGIN IN.wav OUT.wav [PARAM=VALUE ...]
//
// Loads a plug-in (a path, or a name on the plug-in search path), sets its parameters from text
// ("Left Gain=-6 dB"), plays IN.wav through it block by block and writes its outputs to OUT.wav
// as 32-bit float. Plug-in input i is fed file channel i, or the file's last channel where the
// file has fewer; the plug-in's latency and tail are not rendered.
#include <trimwise/host/plugin.h>

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int32_t kBlock = 512;

using File = std::unique_ptr<SNDFILE, decltype(&sf_close)>;

File open(const std::string& path, int mode, SF_INFO& info) {
   File file(sf_open(path.c_str(), mode, &info), &sf_close);
   if (!file) {
      throw trimwise::host::FileError("cannot open '" + path + "': " + sf_strerror(nullptr),
                                      "check the path and that it is an audio file");
   }
   return file;
}

void play(const std::string& pluginName, const std::string& inPath, const std::string& outPath,
          const std::vector<std::string>& settings) {
   using namespace trimwise::host;
   // Probed in a child first, so that a plug-in that crashes while loading is an error here.
   const Plugin plugin = Plugin::load(pluginName, true);

   SF_INFO inInfo{};
   File source = open(inPath, SFM_READ, inInfo);
   Instance instance = plugin.instantiate(
       {.sampleRate = double(inInfo.samplerate), .blockSize = kBlock, .realtime = false});
   for (const std::string& setting : settings) {
      const Parameter p = instance.set(setting);
      std::printf("%s = %s %s\n", p.name.c_str(), p.display.c_str(), p.label.c_str());
   }

   const auto fileChannels = static_cast<size_t>(inInfo.channels);
   const auto inputs = static_cast<size_t>(instance.inputs());
   const auto outputs = static_cast<size_t>(instance.outputs());
   SF_INFO outInfo{};
   outInfo.samplerate = inInfo.samplerate;
   outInfo.channels = static_cast<int>(outputs);
   outInfo.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
   File sink = open(outPath, SFM_WRITE, outInfo);

   // Interleaved file frames, and one planar buffer per plug-in input and output.
   std::vector<float> frames(kBlock * std::max(fileChannels, outputs));
   std::vector<std::vector<float>> in(inputs, std::vector<float>(kBlock));
   std::vector<std::vector<float>> outBuffers(outputs, std::vector<float>(kBlock));
   std::vector<const float*> inPointers;
   std::vector<float*> outPointers;
   for (auto& channel : in)
      inPointers.push_back(channel.data());
   for (auto& channel : outBuffers)
      outPointers.push_back(channel.data());

   instance.start();
   sf_count_t total = 0;
   for (;;) {
      const sf_count_t got = sf_readf_float(source.get(), frames.data(), kBlock);
      if (got <= 0) break;
      const auto n = static_cast<size_t>(got);
      for (size_t c = 0; c < inputs; ++c) {
         const size_t from = std::min(c, fileChannels - 1);
         for (size_t i = 0; i < n; ++i)
            in[c][i] = frames[i * fileChannels + from];
      }
      instance.process(inPointers.data(), outPointers.data(), n);
      for (size_t c = 0; c < outputs; ++c) {
         for (size_t i = 0; i < n; ++i)
            frames[i * outputs + c] = outBuffers[c][i];
      }
      if (sf_writef_float(sink.get(), frames.data(), got) != got) {
         throw FileError("cannot write '" + outPath + "': " + sf_strerror(sink.get()),
                         "check the free space and the folder's permissions");
      }
      total += got;
   }
   instance.stop();
   std::printf("%s: %lld frames through '%s' into %s\n", inPath.c_str(),
               static_cast<long long>(total), instance.name().c_str(), outPath.c_str());
}

} // namespace

int main(int argc, char** argv) {
   if (argc < 4) {
      std::fprintf(stderr, "usage: play_through PLUGIN IN.wav OUT.wav [PARAM=VALUE ...]\n");
      return 2;
   }
   try {
      play(argv[1], argv[2], argv[3], std::vector<std::string>(argv + 4, argv + argc));
      return 0;
   } catch (const trimwise::host::Error& e) {
      std::fprintf(stderr, "play_through: %s\nhint: %s\n", e.what(), e.hint().c_str());
      return 1;
   }
}
