// SPDX-License-Identifier: MIT
#include "tools/plughost/json_writer.h"

#include "tools/hostlib/plugin_text.h"

#include <charconv>
#include <cmath>

namespace plughost {

void JsonWriter::separate() {
   if (afterKey_) {
      afterKey_ = false;
      return;
   }
   if (!hasItems_.empty()) {
      if (hasItems_.back()) out_ += ',';
      hasItems_.back() = true;
   }
}

JsonWriter& JsonWriter::beginObject() {
   separate();
   out_ += '{';
   hasItems_.push_back(false);
   return *this;
}

JsonWriter& JsonWriter::endObject() {
   hasItems_.pop_back();
   out_ += '}';
   return *this;
}

JsonWriter& JsonWriter::beginArray() {
   separate();
   out_ += '[';
   hasItems_.push_back(false);
   return *this;
}

JsonWriter& JsonWriter::endArray() {
   hasItems_.pop_back();
   out_ += ']';
   return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
   separate();
   quoted(name);
   out_ += ':';
   afterKey_ = true;
   return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
   separate();
   quoted(text);
   return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
   separate();
   out_ += flag ? "true" : "false";
   return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
   separate();
   out_ += std::to_string(number);
   return *this;
}

JsonWriter& JsonWriter::value(double number) {
   if (!std::isfinite(number)) return null();
   separate();
   char text[32];
   const auto end = std::to_chars(text, text + sizeof text, number).ptr;
   out_.append(text, end);
   return *this;
}

JsonWriter& JsonWriter::value(float number) {
   if (!std::isfinite(number)) return null();
   separate();
   char text[32];
   const auto end = std::to_chars(text, text + sizeof text, number).ptr;
   out_.append(text, end);
   return *this;
}

JsonWriter& JsonWriter::null() {
   separate();
   out_ += "null";
   return *this;
}

void JsonWriter::quoted(std::string_view text) {
   static constexpr char kHex[] = "0123456789abcdef";
   out_ += '"';
   const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
   for (size_t i = 0; i < text.size(); ++i) {
      const char ch = text[i];
      const auto c = static_cast<unsigned char>(ch);
      if (c >= 0x80) {
         if (const size_t length = utf8SequenceLength(bytes + i, text.size() - i)) {
            out_.append(text.data() + i, length);
            i += length - 1;
            continue;
         }
      }
      switch (c) {
      case '"':
         out_ += "\\\"";
         break;
      case '\\':
         out_ += "\\\\";
         break;
      case '\n':
         out_ += "\\n";
         break;
      case '\r':
         out_ += "\\r";
         break;
      case '\t':
         out_ += "\\t";
         break;
      default:
         if (c < 0x20 || c >= 0x7F) {
            out_ += "\\u00";
            out_ += kHex[c >> 4];
            out_ += kHex[c & 0xF];
         } else {
            out_ += ch;
         }
      }
   }
   out_ += '"';
}

} // namespace plughost
