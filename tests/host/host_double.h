// SPDX-License-Identifier: MIT
// A test host: loads the built plug-in as a host does (dlopen, or LoadLibrary on Windows) and
// drives it only through the AEffect record and a recording host callback. Shared by the host,
// effect, layout and kernel tests.
#pragma once

#include <trimwise/framework/plugin_interface.h>

#include <gtest/gtest.h>

#include "tests/target.h"
#include <cstddef>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hostdouble {

// Heap statistics are meaningless when a sanitizer replaces the allocator.
using ::kSanitizedAllocator;

using EntryProc = AEffect* (*)(audioMasterCallback hostCallback);

// One loaded shared library (dlopen or LoadLibrary handle); closed on destruction.
class PluginLibrary {
public:
   explicit PluginLibrary(const char* path);
   ~PluginLibrary();
   PluginLibrary(const PluginLibrary&) = delete;
   PluginLibrary& operator=(const PluginLibrary&) = delete;

   bool loaded() const { return handle_ != nullptr; }
   const std::string& error() const { return error_; }
   // The exported symbol, or null.
   void* symbol(const char* name) const;
   EntryProc entry() const;

private:
   void* handle_;
   std::string error_;
};

// The built plug-in, loaded once per test process and kept loaded.
const PluginLibrary& plugin();

// One request the plug-in sent to the host.
struct HostCall {
   AEffect* effect;
   int32_t opcode;
   int32_t index;
   intptr_t value;
   void* ptr;
   float opt;
};

// The host callback of the tests. It records every request and answers audioMasterVersion with
// the configured answer, everything else with 0. It is a plain function, so the record is
// process-wide; it is safe to call from several threads.
struct RecordingHost {
   static intptr_t callback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value,
                            void* ptr, float opt);
   // Forgets the calls so far and sets the answer to the version request.
   static void reset(intptr_t versionAnswer = kVstVersion);
   static std::vector<HostCall> calls();
};

// One plug-in instance created through the entry point with the recording host. Closed on
// destruction unless the test closed it itself.
class Instance {
public:
   Instance();
   ~Instance();
   Instance(const Instance&) = delete;
   Instance& operator=(const Instance&) = delete;

   AEffect* effect() const { return effect_; }
   explicit operator bool() const { return effect_ != nullptr; }

   intptr_t dispatch(int32_t opcode, int32_t index = 0, intptr_t value = 0, void* ptr = nullptr,
                     float opt = 0.0f) const;
   // Sends effClose and returns its answer; the record is gone afterwards.
   intptr_t close();
   // effOpen, sample rate, block size, then switched on (effMainsChanged 1).
   void start(float sampleRate = 48000.0f, intptr_t blockSize = 512) const;

   void setParameter(int32_t index, float value) const;
   float getParameter(int32_t index) const;
   void process(float** inputs, float** outputs, int32_t frames) const;
   void process(double** inputs, double** outputs, int32_t frames) const;

private:
   AEffect* effect_;
};

// A host-owned text buffer for a text of at most `limit` characters: limit + 1 bytes followed by
// guard bytes, all preset to kFill so that every byte the plug-in writes can be told apart.
class GuardedText {
public:
   static constexpr unsigned char kFill = 0xA5;
   static constexpr size_t kGuardBytes = 32;

   explicit GuardedText(size_t limit);

   char* data() { return bytes_.data(); }
   size_t limit() const { return limit_; }

   // A bounded copy: the text, NULs up to and including index `limit`, nothing after that.
   testing::AssertionResult holdsBounded(std::string_view text) const;
   // A whole copy: the text and one NUL, nothing after that.
   testing::AssertionResult holdsWhole(std::string_view text) const;
   // Not a single byte written.
   testing::AssertionResult untouched() const;

private:
   testing::AssertionResult holds(std::string_view text, size_t written) const;

   size_t limit_;
   std::vector<char> bytes_;
};

// The display text of a gain, computed independently of the plug-in: "-oo" for gains of zero or
// less, otherwise 20 * log10 of the gain (logarithm in single precision, product in double,
// narrowed to single) in the eight-character fixed format with truncated digits. Valid for
// decibel values with at most 6 integer digits.
std::string expectedGainText(float gain);

} // namespace hostdouble
