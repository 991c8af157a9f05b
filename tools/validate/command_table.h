// SPDX-License-Identifier: MIT
// The interface's commands 0 to 79 as a host must call them: what each reads or writes through
// ptr and value, and how many bytes it may write. Used to call every known command with its
// arguments in the right shape, whatever their values.
#pragma once

#include "tools/validate/check_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plughost::validate {

constexpr int32_t kFirstUnknownOpcode = 80;

// What a command does with ptr (and, for some, with value).
enum class PtrUse {
   ignored,        // ptr means nothing: the command must not touch it
   nullOnly,       // ptr is a host object (a window) the validator cannot make: always null
   writesText,     // a text buffer of `allowed` bytes
   readsText,      // a NUL-terminated text, read only
   record,         // a record of the interface, read or written within kRecordBytes
   pointerSlot,    // the address of a pointer the command stores
   chunk,          // data read, value is its size in bytes
   counted,        // records read, value is their count (kept small)
   arrangements,   // value and ptr are speaker arrangements, read only
   arrangementOut, // value and ptr are addresses of pointers the command stores
};

// Room given for records whose layout this host leaves opaque.
constexpr size_t kRecordBytes = 512;

struct KnownCommand {
   int32_t opcode;
   PtrUse ptr;
   size_t allowed; // bytes the command may write through ptr (and through value, for pointers)
};

// Commands 0 to 79. effClose is among them; callers skip it.
const KnownCommand& knownCommand(int32_t opcode);

// A buffer with guard bytes around `area` accessible bytes, of which the command may change the
// first `allowed`. check() compares everything else with how prepare() left it.
class Canary {
public:
   static constexpr size_t kBefore = 16;
   static constexpr size_t kAfter = 256;

   Canary(size_t area, size_t allowed)
       : area_(area), allowed_(allowed), bytes_(kBefore + area + kAfter), snapshot_(bytes_.size()) {
   }

   // Fills every byte with `pattern`, then puts `content` at the start of the area.
   void prepare(unsigned char pattern, const void* content = nullptr, size_t size = 0);
   void* data() { return bytes_.data() + kBefore; }
   // Empty if nothing outside the allowed bytes changed; for a text, also that a written text
   // is terminated within them.
   std::string check(bool text) const;

private:
   size_t area_, allowed_;
   std::vector<unsigned char> bytes_, snapshot_;
};

// Calls a known command with its index, value and opt and ptr in the shape the command needs,
// over canaries filled with `pattern`; returns the answer and in `problem` anything written where
// it must not be.
template <class Instance>
intptr_t callKnown(Instance& instance, const KnownCommand& command, int32_t index, intptr_t value,
                   float opt, unsigned char pattern, std::string& problem);

// The same with a null ptr (and value 0 where value is an address).
template <class Instance>
intptr_t callKnownWithNull(Instance& instance, const KnownCommand& command, int32_t index,
                           intptr_t value, float opt);

} // namespace plughost::validate

#include "tools/validate/command_table_impl.h"
