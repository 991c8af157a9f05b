// SPDX-License-Identifier: MIT
// The ELF reader lives in the host library, which also uses it to tell plug-ins from other
// shared libraries without loading them; the checks keep their names for it.
#pragma once

#include "tools/hostlib/elf_symbols.h"

namespace plughost::validate {
using plughost::ExportedSymbol;
using plughost::exportedSymbols;
using plughost::exportedSymbolsOfFile;
} // namespace plughost::validate
