#include "tools/hostlib/plugin_validation.h"

#include "tools/hostlib/opcode_names.h"
#include "tools/hostlib/plugin_instance.h"
#include "tools/hostlib/tool_error.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <sstream>
#include <type_traits>

namespace plughost {
namespace {

// Text limits of the interface, in characters; the buffer holds one byte more.
constexpr size_t kEffectNameLimit = 32;
constexpr size_t kVendorLimit = 64;
constexpr size_t kProgramNameLimit = 24;
constexpr size_t kParamTextLimit = 8; // labels and display texts
// Parameter names have no limit of their own; hosts give them this much room.
constexpr size_t kParamNameLimit = 32;

// Flag bits the interface defines; any other bit is reserved.
constexpr int32_t kDefinedFlags = effFlagsHasEditor | effFlagsHasClip | effFlagsHasVu |
                                  effFlagsCanMono | effFlagsCanReplacing | effFlagsProgramChunks |
                                  effFlagsIsSynth | effFlagsNoSoundInStop | effFlagsExtIsAsync |
                                  effFlagsExtHasBuffer | effFlagsCanDoubleReplacing;

// Samples after the end of a block, and the value every guard sample holds: a NaN with a
// payload that no arithmetic produces, compared bit by bit.
constexpr size_t kGuardSamples = 64;
template <class Sample>
Sample guardValue() {
   if constexpr (std::is_same_v<Sample, float>) {
      return std::bit_cast<float>(uint32_t{0x7FC0DEAD});
   } else {
      return std::bit_cast<double>(uint64_t{0x7FF8DEADBEEFCAFE});
   }
}

template <class Sample>
bool sameBits(Sample a, Sample b) {
   return std::memcmp(&a, &b, sizeof a) == 0;
}

// Deterministic noise in -1..1, different for every channel.
template <class Sample>
std::vector<Sample> noise(size_t frames, uint32_t seed) {
   std::vector<Sample> samples(frames);
   uint32_t state = 0x9E3779B9u * (seed + 1);
   for (auto& s : samples) {
      state = state * 1664525u + 1013904223u;
      s = static_cast<Sample>(static_cast<int32_t>(state)) / static_cast<Sample>(2147483648.0);
   }
   return samples;
}

class Report {
public:
   explicit Report(std::vector<CheckResult>& results) : results_(results) {}

   // Collects the faults of one check; the check passes if none were added.
   void run(const char* id, const char* title, const std::function<void(Report&)>& body,
            CheckStatus faultStatus = CheckStatus::fail) {
      faults_.clear();
      skipped_.clear();
      body(*this);
      CheckStatus status = CheckStatus::pass;
      std::string detail;
      if (!faults_.empty()) {
         status = faultStatus;
         for (size_t i = 0; i < faults_.size() && i < kMaxFaults; ++i) {
            if (i > 0) detail += "; ";
            detail += faults_[i];
         }
         if (faults_.size() > kMaxFaults) {
            detail += "; and " + std::to_string(faults_.size() - kMaxFaults) + " more";
         }
      } else if (!skipped_.empty()) {
         status = CheckStatus::skip;
         detail = skipped_;
      }
      results_.push_back({id, title, status, detail});
   }

   void fault(std::string what) { faults_.push_back(std::move(what)); }
   void skip(std::string why) { skipped_ = std::move(why); }

private:
   static constexpr size_t kMaxFaults = 4;
   std::vector<CheckResult>& results_;
   std::vector<std::string> faults_;
   std::string skipped_;
};

// ---- Entry point ------------------------------------------------------------------------------

// Counts the calls of a host that answers nothing, not even its version.
struct RefusingHost {
   static thread_local int calls;
   static thread_local bool exactVersionRequest;
   static intptr_t callback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                            void* ptr, float opt) {
      exactVersionRequest = calls == 0 && !effect && opcode == audioMasterVersion && index == 0 &&
                            value == 0 && !ptr && opt == 0.0f;
      ++calls;
      return 0;
   }
};
thread_local int RefusingHost::calls = 0;
thread_local bool RefusingHost::exactVersionRequest = false;

void checkExports(Report& r, const PluginModule& module) {
   const bool hasMain = module.mainExport() != nullptr;
   const bool hasVst = module.vstPluginMainExport() != nullptr;
   if (hasMain && hasVst && module.mainExport() != module.vstPluginMainExport()) {
      r.fault("VSTPluginMain and main are different functions");
   } else if (!hasMain || !hasVst) {
      r.fault(std::string("only ") + (hasVst ? "VSTPluginMain" : "main") + " is exported");
   }
}

void checkVersionRefused(Report& r, const PluginModule& module) {
   RefusingHost::calls = 0;
   RefusingHost::exactVersionRequest = false;
   AEffect* effect = module.entry()(&RefusingHost::callback);
   if (effect) {
      r.fault("an instance was created although the host answered 0");
      if (effect->magic == kEffectMagic && effect->dispatcher) {
         effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
      }
   }
   if (RefusingHost::calls == 0) {
      r.fault("the host was never asked for its version");
   } else if (!RefusingHost::exactVersionRequest) {
      r.fault("the first request was not audioMasterVersion with a null record and zero "
              "arguments");
   }
   if (RefusingHost::calls > 1) {
      r.fault("the host was called " + std::to_string(RefusingHost::calls) + " times, not once");
   }
}

// ---- Record -----------------------------------------------------------------------------------

void checkFlags(Report& r, const AEffect& e) {
   if (!(e.flags & effFlagsCanReplacing)) r.fault("effFlagsCanReplacing is not set");
   if ((e.flags & effFlagsCanDoubleReplacing) && !e.processDoubleReplacing) {
      r.fault("effFlagsCanDoubleReplacing is set but processDoubleReplacing is null");
   }
   if (e.flags & ~kDefinedFlags) {
      std::ostringstream text;
      text << "reserved flag bits are set: 0x" << std::hex
           << static_cast<uint32_t>(e.flags & ~kDefinedFlags);
      r.fault(text.str());
   }
}

void checkCounts(Report& r, const AEffect& e) {
   const std::pair<const char*, int32_t> counts[] = {{"numPrograms", e.numPrograms},
                                                     {"numParams", e.numParams},
                                                     {"numInputs", e.numInputs},
                                                     {"numOutputs", e.numOutputs},
                                                     {"initialDelay", e.initialDelay}};
   for (const auto& [name, count] : counts) {
      if (count < 0) r.fault(std::string(name) + " is " + std::to_string(count));
   }
}

// ---- Texts ------------------------------------------------------------------------------------

void expectText(Report& r, PluginInstance& p, int32_t opcode, int32_t index, size_t limit,
                const std::string& when = "") {
   const TextAnswer answer = p.readText(opcode, index);
   std::string call = effectOpcodeName(opcode);
   if (opcode == effGetParamLabel || opcode == effGetParamDisplay || opcode == effGetParamName) {
      call += '(';
      call += std::to_string(index);
      call += ')';
   }
   call += when;
   if (answer.extent > limit + 1) {
      r.fault(call + " wrote " + std::to_string(answer.extent) + " bytes into a buffer of " +
              std::to_string(limit + 1));
   } else if (answer.extent > 0 && !answer.terminated) {
      r.fault(call + " left its text without a terminating NUL");
   }
}

void checkTexts(Report& r, PluginInstance& p) {
   expectText(r, p, effGetEffectName, 0, kEffectNameLimit);
   expectText(r, p, effGetVendorString, 0, kVendorLimit);
   expectText(r, p, effGetProductString, 0, kVendorLimit);
   expectText(r, p, effGetProgramName, 0, kProgramNameLimit);
   // Display texts change with the value, so each is read over the whole range.
   constexpr float kValues[] = {0.0f, 1e-6f, 0.001f, 0.3f, 0.5f, 0.999f, 1.0f};
   for (int32_t i = 0; i < p.record().numParams; ++i) {
      expectText(r, p, effGetParamName, i, kParamNameLimit);
      expectText(r, p, effGetParamLabel, i, kParamTextLimit);
      const float saved = p.getParameter(i);
      for (const float v : kValues) {
         p.setParameter(i, v);
         std::ostringstream when;
         when << " at " << v;
         expectText(r, p, effGetParamDisplay, i, kParamTextLimit, when.str());
      }
      p.setParameter(i, saved);
   }
}

// ---- Parameters -------------------------------------------------------------------------------

void checkParameterValues(Report& r, PluginInstance& p) {
   const int32_t count = p.record().numParams;
   if (count == 0) r.skip("the plug-in has no parameters");
   constexpr float kValues[] = {0.0f, 0.25f, 0.5f, 0.7f, 1.0f};
   for (int32_t i = 0; i < count; ++i) {
      for (const float v : kValues) {
         p.setParameter(i, v);
         const float back = p.getParameter(i);
         if (!sameBits(back, v)) {
            std::ostringstream text;
            text << "parameter " << i << " set to " << v << " reads back as " << back;
            r.fault(text.str());
         }
      }
   }
}

void checkParameterIsolation(Report& r, PluginInstance& p) {
   const int32_t count = p.record().numParams;
   if (count < 2) r.skip("the plug-in has fewer than two parameters");
   std::vector<float> values(static_cast<size_t>(count));
   for (int32_t i = 0; i < count; ++i) {
      p.setParameter(i, 0.25f);
      values[static_cast<size_t>(i)] = p.getParameter(i);
   }
   for (int32_t i = 0; i < count; ++i) {
      p.setParameter(i, 0.75f);
      values[static_cast<size_t>(i)] = p.getParameter(i);
      for (int32_t j = 0; j < count; ++j) {
         if (j != i && !sameBits(p.getParameter(j), values[static_cast<size_t>(j)])) {
            r.fault("setting parameter " + std::to_string(i) + " changed parameter " +
                    std::to_string(j));
         }
      }
   }
}

// ---- Processing -------------------------------------------------------------------------------

// One processing call over buffers that carry guard samples after `frames`.
template <class Sample>
struct GuardedBlock {
   std::vector<std::vector<Sample>> in, out;
   std::vector<Sample*> inPointers, outPointers;

   GuardedBlock(const AEffect& e, size_t frames) {
      const auto inputs = static_cast<size_t>(std::max(e.numInputs, 0));
      const auto outputs = static_cast<size_t>(std::max(e.numOutputs, 0));
      for (size_t c = 0; c < inputs; ++c) {
         in.push_back(noise<Sample>(frames, static_cast<uint32_t>(c)));
         in.back().resize(frames + kGuardSamples, guardValue<Sample>());
      }
      out.assign(outputs, std::vector<Sample>(frames + kGuardSamples, guardValue<Sample>()));
      inPointers.assign(std::max<size_t>(inputs, 1), nullptr);
      outPointers.assign(std::max<size_t>(outputs, 1), nullptr);
      for (size_t c = 0; c < inputs; ++c)
         inPointers[c] = in[c].data();
      for (size_t c = 0; c < outputs; ++c)
         outPointers[c] = out[c].data();
   }

   void process(PluginInstance& p, int32_t frames) {
      p.process(inPointers.data(), outPointers.data(), frames);
   }
};

template <class Sample>
const char* precisionName() {
   return std::is_same_v<Sample, float> ? "32-bit" : "64-bit";
}

template <class Sample>
void expectBounds(Report& r, PluginInstance& p, size_t frames) {
   GuardedBlock<Sample> block(p.record(), frames);
   const auto before = block.in;
   block.process(p, static_cast<int32_t>(frames));
   const std::string call =
       std::string(precisionName<Sample>()) + " block of " + std::to_string(frames);
   for (size_t c = 0; c < block.in.size(); ++c) {
      if (!std::equal(block.in[c].begin(), block.in[c].end(), before[c].begin(),
                      sameBits<Sample>)) {
         r.fault(call + " changed input " + std::to_string(c));
      }
   }
   for (size_t c = 0; c < block.out.size(); ++c) {
      // With zero frames every sample is a guard; otherwise only those after the block.
      for (size_t i = frames; i < block.out[c].size(); ++i) {
         if (!sameBits(block.out[c][i], guardValue<Sample>())) {
            r.fault(call + " wrote output " + std::to_string(c) + " at frame " + std::to_string(i));
            break;
         }
      }
   }
}

template <class Sample>
void checkBounds(Report& r, PluginInstance& p, int32_t blockSize) {
   for (const size_t frames : {size_t{0}, size_t{1}, size_t{37}, static_cast<size_t>(blockSize)}) {
      expectBounds<Sample>(r, p, frames);
   }
}

template <class Sample>
void checkInPlace(Report& r, const std::shared_ptr<PluginModule>& module,
                  const ValidateOptions& options) {
   // Two fresh instances with the same settings: one processes into separate buffers, the
   // other into its input buffers. Fresh instances keep any state of the effect out of it.
   HostSettings settings{options.sampleRate, options.blockSize, {}};
   PluginInstance separate(module, settings);
   PluginInstance inPlace(module, settings);
   const AEffect& e = separate.record();
   if (e.numInputs != e.numOutputs) {
      r.skip("the plug-in has different numbers of inputs and outputs");
      return;
   }
   for (int32_t i = 0; i < e.numParams; ++i) {
      const float v = 0.3f + 0.4f * static_cast<float>(i) / static_cast<float>(e.numParams);
      separate.setParameter(i, v);
      inPlace.setParameter(i, v);
   }
   separate.start();
   inPlace.start();
   const auto frames = static_cast<size_t>(options.blockSize);
   GuardedBlock<Sample> a(e, frames);
   GuardedBlock<Sample> b(e, frames);
   a.process(separate, options.blockSize);
   b.outPointers = b.inPointers;
   b.process(inPlace, options.blockSize);
   for (size_t c = 0; c < a.out.size(); ++c) {
      for (size_t i = 0; i < frames; ++i) {
         if (!sameBits(a.out[c][i], b.in[c][i])) {
            r.fault(std::string(precisionName<Sample>()) + " output " + std::to_string(c) +
                    " differs in place at frame " + std::to_string(i));
            break;
         }
      }
   }
}

void checkPrecisions(Report& r, const std::shared_ptr<PluginModule>& module,
                     const ValidateOptions& options) {
   HostSettings settings{options.sampleRate, options.blockSize, {}};
   PluginInstance single(module, settings);
   PluginInstance dual(module, settings);
   if (!single.canProcessDouble()) {
      r.skip("the plug-in does not process 64-bit audio");
      return;
   }
   const AEffect& e = single.record();
   for (int32_t i = 0; i < e.numParams; ++i) {
      single.setParameter(i, 0.6f);
      dual.setParameter(i, 0.6f);
   }
   single.start();
   dual.start();
   const auto frames = static_cast<size_t>(options.blockSize);
   GuardedBlock<float> a(e, frames);
   GuardedBlock<double> b(e, frames);
   // The 64-bit run gets exactly the 32-bit input, widened.
   for (size_t c = 0; c < a.in.size(); ++c) {
      for (size_t i = 0; i < frames; ++i)
         b.in[c][i] = a.in[c][i];
   }
   a.process(single, options.blockSize);
   b.process(dual, options.blockSize);
   for (size_t c = 0; c < a.out.size(); ++c) {
      for (size_t i = 0; i < frames; ++i) {
         const double x = a.out[c][i];
         const double y = b.out[c][i];
         if (!(std::fabs(x - y) <= 1e-6 * std::max(1.0, std::fabs(y)))) {
            std::ostringstream text;
            text << "output " << c << " frame " << i << ": 32-bit " << x << ", 64-bit " << y;
            r.fault(text.str());
            break;
         }
      }
   }
}

// ---- Instances --------------------------------------------------------------------------------

void checkInstances(Report& r, const std::shared_ptr<PluginModule>& module,
                    const ValidateOptions& options) {
   HostSettings settings{options.sampleRate, options.blockSize, {}};
   auto first = std::make_unique<PluginInstance>(module, settings);
   PluginInstance second(module, settings);
   if (&first->record() == &second.record()) {
      r.fault("two instances share one record");
      return;
   }
   if (second.record().numParams > 0) {
      second.setParameter(0, 0.25f);
      first->setParameter(0, 0.75f);
      if (!sameBits(second.getParameter(0), 0.25f)) {
         r.fault("setting a parameter of one instance changed the other");
      }
   }
   const std::string name = second.effectName();
   first.reset(); // closes the first instance
   if (second.effectName() != name) r.fault("closing one instance changed the other's name");
   second.start();
   GuardedBlock<float> block(second.record(), 16);
   block.process(second, 16);
}

} // namespace

const char* statusName(CheckStatus status) {
   switch (status) {
   case CheckStatus::pass:
      return "pass";
   case CheckStatus::warn:
      return "warn";
   case CheckStatus::fail:
      return "fail";
   case CheckStatus::skip:
      return "skip";
   }
   return "?";
}

std::vector<CheckResult> validatePlugin(const std::shared_ptr<PluginModule>& module,
                                        const ValidateOptions& options) {
   std::vector<CheckResult> results;
   Report r(results);
   r.run(
       "entry.exports", "exports VSTPluginMain and main as one function",
       [&](Report& rr) { checkExports(rr, *module); }, CheckStatus::warn);
   r.run("entry.version", "creates nothing for a host that answers 0 to its version request",
         [&](Report& rr) { checkVersionRefused(rr, *module); });

   HostSettings settings{options.sampleRate, options.blockSize, {}};
   std::unique_ptr<PluginInstance> p;
   r.run("entry.instance", "returns a record with the magic and its functions", [&](Report& rr) {
      try {
         p = std::make_unique<PluginInstance>(module, settings);
      } catch (const ToolError& e) {
         rr.fault(e.what());
      }
   });
   if (!p) return results; // nothing else can be checked without an instance

   r.run("record.flags", "sets the replacing flag and no reserved flag bits",
         [&](Report& rr) { checkFlags(rr, p->record()); });
   r.run("record.counts", "reports no negative counts",
         [&](Report& rr) { checkCounts(rr, p->record()); });
   r.run("text.limits", "keeps every text within its limit and terminates it",
         [&](Report& rr) { checkTexts(rr, *p); });
   r.run(
       "params.values", "reads back every parameter value as it was set",
       [&](Report& rr) { checkParameterValues(rr, *p); }, CheckStatus::warn);
   r.run("params.isolation", "changes only the parameter that is set",
         [&](Report& rr) { checkParameterIsolation(rr, *p); });

   p->start();
   r.run("process.bounds32", "writes 32-bit outputs within the block and leaves inputs alone",
         [&](Report& rr) { checkBounds<float>(rr, *p, options.blockSize); });
   r.run("process.bounds64", "writes 64-bit outputs within the block and leaves inputs alone",
         [&](Report& rr) {
            if (!p->canProcessDouble()) return rr.skip("the plug-in does not process 64-bit audio");
            checkBounds<double>(rr, *p, options.blockSize);
         });
   p.reset();

   r.run("process.inplace32", "gives the same 32-bit samples in place as out of place",
         [&](Report& rr) { checkInPlace<float>(rr, module, options); });
   r.run("process.inplace64", "gives the same 64-bit samples in place as out of place",
         [&](Report& rr) {
            PluginInstance probe(module, settings);
            if (!probe.canProcessDouble())
               return rr.skip("the plug-in does not process 64-bit audio");
            checkInPlace<double>(rr, module, options);
         });
   r.run("process.precision", "gives the same samples in 32-bit and 64-bit processing",
         [&](Report& rr) { checkPrecisions(rr, module, options); });
   r.run("instances.independent", "keeps instances apart and survives closing one of them",
         [&](Report& rr) { checkInstances(rr, module, options); });
   return results;
}

} // namespace plughost
