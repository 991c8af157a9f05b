// SPDX-License-Identifier: MIT
#include "tools/validate/command_table.h"

#include <array>

namespace plughost::validate {
namespace {

constexpr size_t kPointer = sizeof(void*);

constexpr std::array<KnownCommand, kFirstUnknownOpcode> makeTable() {
   std::array<KnownCommand, kFirstUnknownOpcode> t{};
   for (int32_t op = 0; op < kFirstUnknownOpcode; ++op)
      t[size_t(op)] = {op, PtrUse::ignored, 0};
   auto set = [&t](int32_t op, PtrUse use, size_t allowed = 0) {
      t[size_t(op)] = {op, use, allowed};
   };
   set(effSetProgramName, PtrUse::readsText);
   set(effGetProgramName, PtrUse::writesText, 25);
   set(effGetParamLabel, PtrUse::writesText, 9);
   set(effGetParamDisplay, PtrUse::writesText, 9);
   set(effGetParamName, PtrUse::writesText, 33);
   set(effEditGetRect, PtrUse::pointerSlot, kPointer);
   set(effEditOpen, PtrUse::nullOnly);
   set(effGetChunk, PtrUse::pointerSlot, kPointer);
   set(effSetChunk, PtrUse::chunk);
   set(effProcessEvents, PtrUse::record);
   set(effString2Parameter, PtrUse::readsText);
   set(effGetProgramNameIndexed, PtrUse::writesText, 25);
   set(effGetInputProperties, PtrUse::record, kRecordBytes);
   set(effGetOutputProperties, PtrUse::record, kRecordBytes);
   set(effOfflineNotify, PtrUse::counted);
   set(effOfflinePrepare, PtrUse::counted);
   set(effOfflineRun, PtrUse::counted);
   set(effProcessVarIo, PtrUse::record, kRecordBytes);
   set(effSetSpeakerArrangement, PtrUse::arrangements);
   set(effGetEffectName, PtrUse::writesText, 33);
   set(effGetVendorString, PtrUse::writesText, 65);
   set(effGetProductString, PtrUse::writesText, 65);
   set(effVendorSpecific, PtrUse::nullOnly);
   set(effCanDo, PtrUse::readsText);
   set(effGetParameterProperties, PtrUse::record, kRecordBytes);
   set(effGetMidiProgramName, PtrUse::record, kRecordBytes);
   set(effGetCurrentMidiProgram, PtrUse::record, kRecordBytes);
   set(effGetMidiProgramCategory, PtrUse::record, kRecordBytes);
   set(effGetMidiKeyName, PtrUse::record, kRecordBytes);
   set(effGetSpeakerArrangement, PtrUse::arrangementOut, kPointer);
   set(effShellGetNextPlugin, PtrUse::writesText, 65);
   set(effBeginLoadBank, PtrUse::record);
   set(effBeginLoadProgram, PtrUse::record);
   return t;
}

constexpr std::array<KnownCommand, kFirstUnknownOpcode> kTable = makeTable();

} // namespace

const KnownCommand& knownCommand(int32_t opcode) {
   return kTable[size_t(opcode)];
}

void Canary::prepare(unsigned char pattern, const void* content, size_t size) {
   std::fill(bytes_.begin(), bytes_.end(), pattern);
   if (content) std::memcpy(data(), content, std::min(size, area_));
   snapshot_ = bytes_;
}

std::string Canary::check(bool text) const {
   for (size_t i = 0; i < kBefore; ++i) {
      if (bytes_[i] != snapshot_[i])
         return format("wrote %zu bytes before the buffer", kBefore - i);
   }
   for (size_t i = bytes_.size(); i > kBefore + allowed_; --i) {
      if (bytes_[i - 1] != snapshot_[i - 1]) {
         return allowed_ == 0
                    ? format("changed byte %zu of a buffer it must not write", i - 1 - kBefore)
                    : format("wrote %zu bytes where %zu are allowed", i - kBefore, allowed_);
      }
   }
   if (text) {
      bool touched = false, terminated = false;
      for (size_t i = kBefore; i < kBefore + allowed_; ++i) {
         touched = touched || bytes_[i] != snapshot_[i];
         terminated = terminated || bytes_[i] == 0;
      }
      if (touched && !terminated) return format("left a text unterminated in %zu bytes", allowed_);
   }
   return {};
}

} // namespace plughost::validate
