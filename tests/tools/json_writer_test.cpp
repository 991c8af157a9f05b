// SPDX-License-Identifier: MIT
// The JSON output must stay valid whatever bytes a plug-in puts into its texts.
#include "tools/plughost/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plughost {
namespace {

TEST(JsonWriter, PlacesCommasBetweenItemsAtEveryLevel) {
   JsonWriter j;
   j.beginObject();
   j.key("a").value(int64_t{1});
   j.key("b").beginArray().value(true).value(false).null().beginObject().endObject().endArray();
   j.key("c").beginObject().key("d").value("e").endObject();
   j.endObject();
   EXPECT_EQ(j.text(), R"({"a":1,"b":[true,false,null,{}],"c":{"d":"e"}})");
}

TEST(JsonWriter, EscapesControlBytesAndBytesThatAreNotUtf8) {
   struct Row {
      std::string in;
      const char* out;
   };
   const Row rows[] = {
       {"plain", R"("plain")"},
       {"say \"hi\"", R"("say \"hi\"")"},
       {"back\\slash", R"("back\\slash")"},
       {"tab\tnew\nret\r", R"("tab\tnew\nret\r")"},
       {std::string("nul\0in", 6), R"("nul\u0000in")"},
       {"\x01\x1f\x7f", R"("\u0001\u001f\u007f")"},
       {"\xA5\xff", R"("\u00a5\u00ff")"}, // not UTF-8: each byte stands for itself
   };
   for (const Row& row : rows) {
      JsonWriter j;
      j.value(row.in);
      EXPECT_EQ(j.text(), row.out);
   }
}

TEST(JsonWriter, WritesNumbersInTheirShortestExactForm) {
   JsonWriter j;
   j.beginArray();
   j.value(0.1f).value(0.5011872f).value(1.0f).value(0.1).value(int64_t{-2147483648LL});
   j.value(std::numeric_limits<float>::infinity()).value(std::nan(""));
   j.endArray();
   EXPECT_EQ(j.text(), "[0.1,0.5011872,1,0.1,-2147483648,null,null]");
}

} // namespace
} // namespace plughost
