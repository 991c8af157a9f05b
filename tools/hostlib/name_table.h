// SPDX-License-Identifier: MIT
// Tables that name numbers (opcodes, signals), one row per number, and their lookup. The lookup
// allocates nothing and calls nothing, so a signal handler may use it.
#pragma once

#include <cstddef>

namespace plughost {

struct NamedNumber {
   int number;
   const char* name;
};

// The name of `number` in `table`, or null if it has none.
template <size_t N>
constexpr const char* nameIn(const NamedNumber (&table)[N], int number) {
   for (const NamedNumber& row : table) {
      if (row.number == number) return row.name;
   }
   return nullptr;
}

} // namespace plughost
