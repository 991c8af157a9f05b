// SPDX-License-Identifier: MIT
// Texts from plug-ins: cut at the NUL inside the buffer, never read past it, shown as UTF-8 with
// everything a terminal or a JSON reader must not get as it is escaped.
#include "tools/hostlib/json.h"
#include "tools/hostlib/plugin_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace plughost {
namespace {

TEST(PluginText, KeepsUtf8EscapesTheRestAndStopsAtTheNulOrTheBuffersEnd) {
   struct Row {
      std::string bytes; // the whole buffer
      const char* text;  // as shown
      const char* json;  // as JsonWriter writes it
   };
   using namespace std::string_literals;
   const Row rows[] = {
       {"Gain\0garbage"s, "Gain", R"("Gain")"},
       {"\0Gain"s, "", R"("")"},
       {"no NUL at all", "no NUL at all", R"("no NUL at all")"},
       {"\xC2\xB5s", "\xC2\xB5s", "\"\xC2\xB5s\""}, // µs
       {"\xE2\x82\xAC \xF0\x9F\x8E\xB9", "\xE2\x82\xAC \xF0\x9F\x8E\xB9",
        "\"\xE2\x82\xAC \xF0\x9F\x8E\xB9\""}, // € and a 4-byte character
       {"a\tb\nc\x1B[31m\x7F", R"(a\x09b\x0Ac\x1B[31m\x7F)", R"("a\\x09b\\x0Ac\\x1B[31m\\x7F")"},
       {"\xC2\x85", R"(\xC2\x85)", R"("\\xC2\\x85")"},               // a C1 control, NEL
       {"Latin-1 \xB5s", R"(Latin-1 \xB5s)", R"("Latin-1 \\xB5s")"}, // a lone continuation byte
       {"\xC0\xAF", R"(\xC0\xAF)", R"("\\xC0\\xAF")"},               // an overlong "/"
       {"\xED\xA0\x80", R"(\xED\xA0\x80)", R"("\\xED\\xA0\\x80")"},  // a surrogate
       {"\xF4\x90\x80\x80", R"(\xF4\x90\x80\x80)", R"("\\xF4\\x90\\x80\\x80")"}, // > U+10FFFF
       {"cut \xE2\x82", R"(cut \xE2\x82)", R"("cut \\xE2\\x82")"},  // cut by the buffer's end
       {"cut \xE2\0\x82"s, R"(cut \xE2)", R"("cut \\xE2")"},        // cut by the NUL
       {"\xA5\xA5\xA5", R"(\xA5\xA5\xA5)", R"("\\xA5\\xA5\\xA5")"}, // a host's fill pattern
       {"back\\slash \"q\"", R"(back\slash "q")", R"("back\\slash \"q\"")"},
   };
   for (const Row& row : rows) {
      // Exactly the buffer's bytes on the heap, so that a read past its end is caught by ASan.
      auto buffer = std::make_unique<char[]>(row.bytes.size());
      std::memcpy(buffer.get(), row.bytes.data(), row.bytes.size());
      const std::string text = pluginText(buffer.get(), row.bytes.size());
      EXPECT_EQ(text, row.text) << row.text;
      JsonWriter j;
      j.value(text);
      EXPECT_EQ(j.text(), row.json) << row.text;
   }
}

} // namespace
} // namespace plughost
