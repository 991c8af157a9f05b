// SPDX-License-Identifier: MIT
#include "tools/hostlib/plugin_text.h"

#include <cstring>

namespace plughost {
namespace {

void escape(std::string& out, unsigned char byte) {
   constexpr char kHex[] = "0123456789ABCDEF";
   out += "\\x";
   out += kHex[byte >> 4];
   out += kHex[byte & 0xF];
}

} // namespace

// Follows the table of well-formed sequences: the second byte's range depends on the first.
size_t utf8SequenceLength(const unsigned char* s, size_t left) {
   if (left == 0) return 0;
   const unsigned char b = s[0];
   if (b < 0x80) return 1;
   size_t length = 0;
   unsigned char low = 0x80, high = 0xBF;
   if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
   } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
   } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
   } else {
      return 0;
   }
   if (left < length || s[1] < low || s[1] > high) return 0;
   for (size_t i = 2; i < length; ++i) {
      if (s[i] < 0x80 || s[i] > 0xBF) return 0;
   }
   return length;
}

std::string pluginText(const char* buffer, size_t size) {
   const auto* bytes = reinterpret_cast<const unsigned char*>(buffer);
   const void* nul = std::memchr(buffer, '\0', size);
   const size_t end =
       nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - bytes) : size;
   std::string out;
   out.reserve(end);
   for (size_t i = 0; i < end;) {
      const unsigned char b = bytes[i];
      if (b < 0x80) {
         if (b < 0x20 || b == 0x7F) {
            escape(out, b);
         } else {
            out += static_cast<char>(b);
         }
         ++i;
         continue;
      }
      const size_t length = utf8SequenceLength(bytes + i, end - i);
      // U+0080 to U+009F, the C1 controls, are two bytes starting with 0xC2.
      if (length == 0 || (b == 0xC2 && bytes[i + 1] < 0xA0)) {
         for (size_t k = 0; k < (length == 0 ? 1 : length); ++k)
            escape(out, bytes[i + k]);
         i += length == 0 ? 1 : length;
         continue;
      }
      out.append(buffer + i, length);
      i += length;
   }
   return out;
}

} // namespace plughost
