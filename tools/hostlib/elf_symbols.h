// SPDX-License-Identifier: MIT
// The names a shared library exports, read from the dynamic symbol table of the file itself
// rather than through the dynamic loader, which would also find its dependencies' names.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace plughost {

struct ExportedSymbol {
   std::string name;
   uint64_t address = 0;
};

// The defined global and weak symbols of the dynamic symbol table of an ELF file (32 or 64
// bit, either byte order). Throws std::runtime_error saying what is wrong with a file that is
// not a well-formed ELF object; never reads outside `file`.
std::vector<ExportedSymbol> exportedSymbols(std::span<const unsigned char> file);

// The same for a file on disk. Throws std::runtime_error if it cannot be read.
std::vector<ExportedSymbol> exportedSymbolsOfFile(const std::string& path);

} // namespace plughost
