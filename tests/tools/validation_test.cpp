// `validate` must pass the built plug-in cleanly and name each planted fault of the fake.
#include "tools/hostlib/plugin_validation.h"

#include <gtest/gtest.h>

#include <map>

namespace plughost {
namespace {

std::map<std::string, CheckResult> byId(const std::vector<CheckResult>& results) {
   std::map<std::string, CheckResult> map;
   for (const auto& r : results)
      map.emplace(r.id, r);
   return map;
}

TEST(Validation, ThePlugInPassesEveryCheckWithoutWarningsOrSkips) {
   for (const int32_t blockSize : {1, 64, 512}) {
      ValidateOptions options;
      options.blockSize = blockSize;
      const auto results = validatePlugin(PluginModule::load(TRIMWISE_PLUGIN_PATH), options);
      EXPECT_EQ(results.size(), 14u);
      for (const auto& r : results) {
         EXPECT_EQ(r.status, CheckStatus::pass) << r.id << ": " << r.detail;
      }
   }
}

TEST(Validation, NamesEveryPlantedFault) {
   const auto results = byId(validatePlugin(PluginModule::load(FAKE_FAULTY_PATH)));
   struct Row {
      const char* id;
      CheckStatus status;
      const char* detailPart; // must appear in the detail
   };
   const Row rows[] = {
       {"entry.exports", CheckStatus::warn, "only VSTPluginMain"},
       {"entry.version", CheckStatus::fail, "created although the host answered 0"},
       {"entry.instance", CheckStatus::pass, ""},
       {"record.flags", CheckStatus::fail, "reserved flag bits are set: 0x100000"},
       {"record.counts", CheckStatus::pass, ""},
       {"text.limits", CheckStatus::fail, "effGetParamLabel(0) wrote 13 bytes into a buffer of 9"},
       {"params.values", CheckStatus::pass, ""},
       {"params.isolation", CheckStatus::fail, "setting parameter 0 changed parameter 1"},
       {"process.bounds32", CheckStatus::fail, "wrote output 0 at frame 1"},
       {"process.bounds64", CheckStatus::skip, "64-bit"},
       {"process.inplace32", CheckStatus::pass, ""},
       {"process.inplace64", CheckStatus::skip, "64-bit"},
       {"process.precision", CheckStatus::skip, "64-bit"},
       {"instances.independent", CheckStatus::pass, ""},
   };
   EXPECT_EQ(results.size(), std::size(rows));
   for (const Row& row : rows) {
      const auto it = results.find(row.id);
      ASSERT_NE(it, results.end()) << row.id;
      EXPECT_EQ(it->second.status, row.status) << row.id << ": " << it->second.detail;
      EXPECT_NE(it->second.detail.find(row.detailPart), std::string::npos)
          << row.id << ": " << it->second.detail;
   }
}

TEST(Validation, StopsAfterTheEntryWhenThereIsNoInstance) {
   const auto results = validatePlugin(PluginModule::load(FAKE_REFUSING_PATH));
   ASSERT_EQ(results.size(), 3u);
   EXPECT_EQ(results.back().id, "entry.instance");
   EXPECT_EQ(results.back().status, CheckStatus::fail);
   EXPECT_NE(results.back().detail.find("returned no plug-in instance"), std::string::npos);
}

} // namespace
} // namespace plughost
