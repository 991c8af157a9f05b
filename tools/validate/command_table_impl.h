// SPDX-License-Identifier: MIT
// Template definitions for command_table.h.
#pragma once

#include <cstring>

namespace plughost::validate {

template <class Instance>
intptr_t callKnown(Instance& instance, const KnownCommand& command, int32_t index, intptr_t value,
                   float opt, unsigned char pattern, std::string& problem) {
   static const char kText[] = "bypass";
   static const unsigned char kZeros[kRecordBytes] = {};
   intptr_t result = 0;
   switch (command.ptr) {
   case PtrUse::ignored: {
      Canary ptr(64, 0);
      ptr.prepare(pattern);
      result = instance.dispatch(command.opcode, index, value, ptr.data(), opt);
      problem = ptr.check(false);
      break;
   }
   case PtrUse::nullOnly:
      result = instance.dispatch(command.opcode, index, value, nullptr, opt);
      break;
   case PtrUse::writesText:
   case PtrUse::record:
   case PtrUse::pointerSlot: {
      const size_t area = command.ptr == PtrUse::record ? kRecordBytes : command.allowed;
      Canary ptr(area, command.allowed);
      // A record starts out zero (an empty event list, say); a text buffer holds the fill.
      ptr.prepare(pattern, command.ptr == PtrUse::record ? kZeros : nullptr, area);
      result = instance.dispatch(command.opcode, index, value, ptr.data(), opt);
      problem = ptr.check(command.ptr == PtrUse::writesText);
      break;
   }
   case PtrUse::readsText: {
      Canary ptr(sizeof kText, 0);
      ptr.prepare(pattern, kText, sizeof kText);
      result = instance.dispatch(command.opcode, index, value, ptr.data(), opt);
      problem = ptr.check(false);
      break;
   }
   case PtrUse::chunk:
   case PtrUse::counted: {
      Canary ptr(kRecordBytes, 0);
      ptr.prepare(pattern, kZeros, kRecordBytes);
      const intptr_t small = command.ptr == PtrUse::chunk ? intptr_t(kRecordBytes) : (value & 1);
      result = instance.dispatch(command.opcode, index, small, ptr.data(), opt);
      problem = ptr.check(false);
      break;
   }
   case PtrUse::arrangements: {
      // Stereo: a header and two speakers, all zero but the counts.
      unsigned char stereo[kSpeakerArrangementHeaderSize + 2 * sizeof(VstSpeakerProperties)] = {};
      const int32_t header[2] = {1, 2};
      std::memcpy(stereo, header, sizeof header);
      Canary in(sizeof stereo, 0), out(sizeof stereo, 0);
      in.prepare(pattern, stereo, sizeof stereo);
      out.prepare(pattern, stereo, sizeof stereo);
      result = instance.dispatch(command.opcode, index, reinterpret_cast<intptr_t>(in.data()),
                                 out.data(), opt);
      problem = in.check(false);
      if (problem.empty()) problem = out.check(false);
      break;
   }
   case PtrUse::arrangementOut: {
      Canary in(sizeof(void*), sizeof(void*)), out(sizeof(void*), sizeof(void*));
      in.prepare(pattern);
      out.prepare(pattern);
      result = instance.dispatch(command.opcode, index, reinterpret_cast<intptr_t>(in.data()),
                                 out.data(), opt);
      problem = in.check(false);
      if (problem.empty()) problem = out.check(false);
      break;
   }
   }
   return result;
}

template <class Instance>
intptr_t callKnownWithNull(Instance& instance, const KnownCommand& command, int32_t index,
                           intptr_t value, float opt) {
   if (command.ptr == PtrUse::arrangements || command.ptr == PtrUse::arrangementOut) value = 0;
   if (command.ptr == PtrUse::chunk || command.ptr == PtrUse::counted) value = 0;
   return instance.dispatch(command.opcode, index, value, nullptr, opt);
}

} // namespace plughost::validate
