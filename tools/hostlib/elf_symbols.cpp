// SPDX-License-Identifier: MIT
#include "tools/hostlib/elf_symbols.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace plughost {
namespace {

// Reads the fields of one ELF class in the file's byte order, refusing to read out of bounds.
class Reader {
public:
   Reader(std::span<const unsigned char> file, bool bigEndian) : file_(file), big_(bigEndian) {}

   uint64_t read(uint64_t offset, size_t width) const {
      if (offset > file_.size() || width > file_.size() - offset) {
         throw std::runtime_error("truncated ELF file");
      }
      uint64_t v = 0;
      for (size_t i = 0; i < width; ++i) {
         const uint64_t byte = file_[offset + (big_ ? i : width - 1 - i)];
         v = (v << 8) | byte;
      }
      return v;
   }

   // A NUL-terminated name inside [tableOffset, tableOffset + tableSize).
   std::string name(uint64_t tableOffset, uint64_t tableSize, uint64_t index) const {
      if (tableOffset > file_.size() || tableSize > file_.size() - tableOffset ||
          index >= tableSize) {
         throw std::runtime_error("symbol name outside the string table");
      }
      const auto* begin = file_.data() + tableOffset + index;
      const auto* end = file_.data() + tableOffset + tableSize;
      const void* nul = std::memchr(begin, 0, size_t(end - begin));
      if (!nul) throw std::runtime_error("unterminated symbol name");
      return std::string(reinterpret_cast<const char*>(begin),
                         static_cast<const unsigned char*>(nul) - begin);
   }

private:
   std::span<const unsigned char> file_;
   bool big_;
};

// Field offsets and widths of the two ELF classes.
struct Layout {
   size_t addr;                                          // width of addresses and offsets
   uint64_t shoff, shentsize, shnum;                     // in the file header
   uint64_t shType, shOffset, shSize, shLink, shEntsize; // in a section header
   uint64_t symName, symValue, symInfo, symOther, symShndx, symSize; // in a symbol
};

constexpr Layout kLayout32{4, 32, 46, 48, 4, 16, 20, 24, 36, 0, 4, 12, 13, 14, 16};
constexpr Layout kLayout64{8, 40, 58, 60, 4, 24, 32, 40, 56, 0, 8, 4, 5, 6, 24};

} // namespace

std::vector<ExportedSymbol> exportedSymbols(std::span<const unsigned char> file) {
   if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
      throw std::runtime_error("not an ELF file");
   }
   const unsigned char elfClass = file[EI_CLASS];
   const unsigned char data = file[EI_DATA];
   if (elfClass != ELFCLASS32 && elfClass != ELFCLASS64) {
      throw std::runtime_error("unknown ELF class");
   }
   if (data != ELFDATA2LSB && data != ELFDATA2MSB) {
      throw std::runtime_error("unknown ELF byte order");
   }
   const Layout& l = elfClass == ELFCLASS64 ? kLayout64 : kLayout32;
   const Reader r(file, data == ELFDATA2MSB);

   const uint64_t shoff = r.read(l.shoff, l.addr);
   const uint64_t shentsize = r.read(l.shentsize, 2);
   const uint64_t shnum = r.read(l.shnum, 2);
   if (shoff == 0 || shnum == 0) throw std::runtime_error("no section headers");
   if (shentsize < l.shEntsize + l.addr) throw std::runtime_error("bad section header size");

   auto section = [&](uint64_t i, uint64_t field, size_t width) {
      return r.read(shoff + i * shentsize + field, width);
   };

   std::vector<ExportedSymbol> symbols;
   bool found = false;
   for (uint64_t i = 0; i < shnum; ++i) {
      if (section(i, l.shType, 4) != SHT_DYNSYM) continue;
      found = true;
      const uint64_t offset = section(i, l.shOffset, l.addr);
      const uint64_t size = section(i, l.shSize, l.addr);
      const uint64_t entsize = section(i, l.shEntsize, l.addr);
      const uint64_t link = section(i, l.shLink, 4);
      if (link >= shnum) throw std::runtime_error("symbol table links to no string table");
      if (entsize < l.symSize) throw std::runtime_error("bad symbol size");
      const uint64_t strOffset = section(link, l.shOffset, l.addr);
      const uint64_t strSize = section(link, l.shSize, l.addr);
      for (uint64_t s = 1; s < size / entsize; ++s) { // symbol 0 is the null symbol
         const uint64_t at = offset + s * entsize;
         const auto info = static_cast<unsigned char>(r.read(at + l.symInfo, 1));
         const auto other = static_cast<unsigned char>(r.read(at + l.symOther, 1));
         const uint64_t shndx = r.read(at + l.symShndx, 2);
         const unsigned bind = ELF64_ST_BIND(info);
         const unsigned visibility = ELF64_ST_VISIBILITY(other);
         if (shndx == SHN_UNDEF) continue;
         if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
         if (visibility == STV_HIDDEN || visibility == STV_INTERNAL) continue;
         ExportedSymbol symbol;
         symbol.name = r.name(strOffset, strSize, r.read(at + l.symName, 4));
         symbol.address = r.read(at + l.symValue, l.addr);
         symbols.push_back(std::move(symbol));
      }
   }
   if (!found) throw std::runtime_error("no dynamic symbol table");
   return symbols;
}

std::vector<ExportedSymbol> exportedSymbolsOfFile(const std::string& path) {
   // Mapped rather than read: a search looks at every library in a folder and needs only the
   // headers and the symbol tables of each. Non-blocking, so that a FIFO cannot stall the open.
   const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
   struct stat info {};
   if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      if (fd >= 0) close(fd);
      throw std::runtime_error("cannot read '" + path + "'");
   }
   const auto size = static_cast<size_t>(info.st_size);
   void* mapped = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
   close(fd);
   if (mapped == MAP_FAILED) return exportedSymbols({});
   struct Unmap {
      void* at;
      size_t size;
      ~Unmap() { munmap(at, size); }
   } unmap{mapped, size};
   return exportedSymbols({static_cast<const unsigned char*>(mapped), size});
}

} // namespace plughost
