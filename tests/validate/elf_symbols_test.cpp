// SPDX-License-Identifier: MIT
// The ELF reader behind load.exports: the names it finds in real modules, and that no damaged
// or truncated file makes it read outside the bytes it is given.
#include "tests/sanitizers.h"
#include "tools/validate/elf_symbols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <stdexcept>

namespace {

using plughost::validate::ExportedSymbol;
using plughost::validate::exportedSymbols;
using plughost::validate::exportedSymbolsOfFile;

std::vector<unsigned char> readFile(const char* path) {
   std::ifstream in(path, std::ios::binary);
   return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> names(const std::vector<ExportedSymbol>& symbols) {
   std::set<std::string> n;
   for (const auto& s : symbols)
      n.insert(s.name);
   return n;
}

// Parses the bytes, which fill their vector exactly, so that AddressSanitizer sees any read
// past them.
void parseWithinBounds(const std::vector<unsigned char>& bytes) {
   try {
      (void)exportedSymbols(bytes);
   } catch (const std::runtime_error&) {
      // A damaged file may be refused; it must not be read out of bounds.
   }
}

TEST(ExportedSymbols, ThePluginExportsItsEntryUnderBothNamesAtOneAddress) {
   const auto symbols = exportedSymbolsOfFile(TRIMWISE_PLUGIN_PATH);
   EXPECT_EQ(names(symbols), (std::set<std::string>{"VSTPluginMain", "main"}));
   ASSERT_EQ(symbols.size(), 2u);
   EXPECT_NE(symbols[0].address, 0u);
   EXPECT_EQ(symbols[0].address, symbols[1].address);
}

TEST(ExportedSymbols, FindsAnExtraExport) {
   const auto found = names(exportedSymbolsOfFile(FAULTY_EXPORTS_PATH));
   EXPECT_TRUE(found.count("faultyDebugLevel"));
   EXPECT_TRUE(found.count("VSTPluginMain"));
}

TEST(ExportedSymbols, PlughostExportsItsCountingFunctions) {
   if (kSanitizedAllocator) GTEST_SKIP() << "a sanitizer owns malloc in this build";
   // Without these exports a plug-in binds to the C library's and nothing is counted.
   const auto found = names(exportedSymbolsOfFile(PLUGHOST_PATH));
   for (const char* name :
        {"malloc", "free", "calloc", "realloc", "_Znwm", "_ZdlPv", "pthread_mutex_lock"}) {
      EXPECT_TRUE(found.count(name)) << name;
   }
   // ... and nothing of the program itself.
   EXPECT_FALSE(std::any_of(found.begin(), found.end(), [](const std::string& n) {
      return n.find("plughost") != std::string::npos || n.find("validate") != std::string::npos;
   }));
}

TEST(ExportedSymbols, RefusesWhatIsNotAnElfFile) {
   for (const std::string& text : std::vector<std::string>{"",
                                                           "\x7f"
                                                           "EL",
                                                           "#!/bin/sh\n", std::string(64, '\0')}) {
      const std::vector<unsigned char> bytes(text.begin(), text.end());
      EXPECT_THROW(exportedSymbols(bytes), std::runtime_error) << text;
   }
   EXPECT_THROW(exportedSymbolsOfFile("/nonexistent/file.so"), std::runtime_error);
}

TEST(ExportedSymbols, TruncatedFilesAreReadWithinBounds) {
   const auto whole = readFile(TRIMWISE_PLUGIN_PATH);
   ASSERT_GT(whole.size(), 1024u);
   // Every length through the file header, the section headers at the end, and lengths between.
   std::vector<size_t> sizes;
   for (size_t n = 0; n < 256; ++n)
      sizes.push_back(n);
   for (size_t n = 0; n < 512; ++n)
      sizes.push_back(whole.size() - 1 - n * 3 % 2048);
   for (size_t n = 1; n < 64; ++n)
      sizes.push_back(whole.size() * n / 64);
   for (size_t size : sizes) {
      const std::vector<unsigned char> cut(whole.begin(), whole.begin() + long(size));
      parseWithinBounds(cut);
   }
}

TEST(ExportedSymbols, DamagedHeadersAndTablesAreReadWithinBounds) {
   auto bytes = readFile(TRIMWISE_PLUGIN_PATH);
   std::mt19937 random(7);
   // Damage where the reader looks: the file header, the section headers at the end, and
   // anywhere else; then undo it for the next trial.
   for (int trial = 0; trial < 3000; ++trial) {
      std::vector<std::pair<size_t, unsigned char>> undo;
      for (int k = 0; k < 1 + trial % 6; ++k) {
         const size_t region = random() % 3;
         const size_t at = region == 0   ? random() % 64
                           : region == 1 ? bytes.size() - 1 - random() % 4096
                                         : random() % bytes.size();
         undo.emplace_back(at, bytes[at]);
         bytes[at] = static_cast<unsigned char>(random());
      }
      parseWithinBounds(bytes);
      for (auto it = undo.rbegin(); it != undo.rend(); ++it)
         bytes[it->first] = it->second;
   }
}

} // namespace
