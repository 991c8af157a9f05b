// SPDX-License-Identifier: MIT
// The JSON output must stay valid whatever bytes a plug-in or a file name puts into its texts,
// and numbers must read back as the value they stand for.
#include "tools/hostlib/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plughost {
namespace {

TEST(JsonWriter, PlacesItemsWhereTheyWereOpenedAtEveryLevel) {
   JsonWriter j;
   j.beginObject();
   j.key("a").value(int64_t{1});
   j.key("b").beginArray().value(true).value(false).null().beginObject().endObject().endArray();
   j.key("c").beginObject().key("d").value("e").endObject();
   j.key("z").value(int32_t{2}); // keys keep their order
   j.endObject();
   EXPECT_EQ(j.text(), R"({"a":1,"b":[true,false,null,{}],"c":{"d":"e"},"z":2})");
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
       {"\x01\x1f", R"("\u0001\u001f")"},
       {"\xC2\xB5s \xE2\x82\xAC", "\"\xC2\xB5s \xE2\x82\xAC\""}, // UTF-8 stays as it is
       // Not UTF-8: escaped as plug-in texts are, so the document stays valid.
       {"\xA5\xff", R"("\\xA5\\xFF")"},
       {"cut \xE2\x82", R"("cut \\xE2\\x82")"},
   };
   for (const Row& row : rows) {
      JsonWriter j;
      j.value(row.in);
      EXPECT_EQ(j.text(), row.out) << row.out;
      JsonWriter k;
      k.beginObject().key(row.in).value(int64_t{0}).endObject();
      EXPECT_EQ(k.text(), std::string("{") + row.out + ":0}");
   }
}

TEST(JsonWriter, WritesNumbersInTheirShortestExactForm) {
   JsonWriter j;
   j.beginArray();
   j.value(0.1f).value(0.5011872f).value(1.0f).value(0.1).value(int64_t{-2147483648LL});
   j.value(std::numeric_limits<float>::infinity()).value(std::nan("")).value(-2.5).value(1e20);
   j.endArray();
   EXPECT_EQ(j.text(), "[0.1,0.5011872,1,0.1,-2147483648,null,null,-2.5,1e+20]");
}

} // namespace
} // namespace plughost
