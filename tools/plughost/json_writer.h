// SPDX-License-Identifier: MIT
// A small streaming JSON writer for the host's machine-readable output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plughost {

// Builds one JSON text in memory. Keys and values are written in call order; commas are
// placed automatically. Texts are arbitrary bytes: valid UTF-8 is kept, control characters are
// escaped, and a byte of 0x80 or above that is not part of valid UTF-8 is written as the
// character of the same number, so the output is always valid UTF-8.
class JsonWriter {
public:
   JsonWriter& beginObject();
   JsonWriter& endObject();
   JsonWriter& beginArray();
   JsonWriter& endArray();
   JsonWriter& key(std::string_view name);

   JsonWriter& value(std::string_view text);
   JsonWriter& value(const char* text) { return value(std::string_view(text)); }
   JsonWriter& value(bool flag);
   JsonWriter& value(int64_t number);
   JsonWriter& value(int32_t number) { return value(static_cast<int64_t>(number)); }
   JsonWriter& value(double number); // shortest round-trip form; null if not finite
   JsonWriter& value(float number);  // shortest form that reads back as the same float
   JsonWriter& null();

   const std::string& text() const { return out_; }

private:
   void separate();
   void quoted(std::string_view text);

   std::string out_;
   std::vector<bool> hasItems_; // one per open object or array
   bool afterKey_ = false;
};

} // namespace plughost
