// SPDX-License-Identifier: MIT
// Finding plug-ins as hosts do, over a tree with what real folders hold: collections in
// subfolders, bundles, links that loop or lead to a folder twice, folders that cannot be read,
// libraries that are no plug-ins and files that are no libraries.
#include "tools/hostlib/plugin_search.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace plughost {
namespace {

namespace fs = std::filesystem;

class Discovery : public ::testing::Test {
protected:
   fs::path dir;
   const std::string archRelative = std::string("Arch.vst/Contents/") + kBundleArch + "/Arch.so";

   void SetUp() override {
      dir = fs::temp_directory_path() / ("plughost-discovery-" + std::to_string(getpid()));
      fs::remove_all(dir);
      const std::pair<std::string, const char*> copies[] = {
          {"a/Top.so", TRIMWISE_PLUGIN_PATH},
          {"a/collection/deep/Nested.so", FAKE_MAIN_ONLY_PATH},
          {"a/Bundle.vst/Bundle.so", TRIMWISE_PLUGIN_PATH},
          {"a/Bundle.vst/helper.so", TRIMWISE_PLUGIN_PATH}, // not searched: the bundle has one
          {"a/" + archRelative, TRIMWISE_PLUGIN_PATH},
          {"a/NoEntry.so", FAKE_NO_ENTRY_PATH},
          {"a/locked/Hidden.so", TRIMWISE_PLUGIN_PATH},
          {"b/Top.so", TRIMWISE_PLUGIN_PATH}, // the same name, another file
      };
      for (const auto& [to, from] : copies) {
         fs::create_directories((dir / to).parent_path());
         fs::copy_file(from, dir / to);
      }
      std::ofstream(dir / "a/script.so") << "/* GNU ld script */ INPUT(libc.so.6)";
      mkfifo((dir / "a/fifo.so").c_str(), 0644); // opening it would block
      fs::create_directory_symlink(dir / "a", dir / "a/collection/deep/loop");
      fs::create_symlink(dir / "nowhere.so", dir / "a/dangling.so");
      fs::create_directory_symlink(dir / "a/collection", dir / "b/linked"); // Nested again
      fs::permissions(dir / "a/locked", fs::perms::none);
   }
   void TearDown() override {
      fs::permissions(dir / "a/locked", fs::perms::owner_all);
      fs::remove_all(dir);
   }
   std::string path(const char* relative) const { return (dir / relative).string(); }
};

// As root, permissions do not stop reading a folder: the search runs a second time in a child
// that has become an ordinary user, for whom the locked folder is unreadable and left out.
void expectLockedFolderLeftOutByAnOrdinaryUser(const std::vector<SearchFolder>& folders,
                                               size_t plugins) {
   if (geteuid() != 0) return; // the search itself ran as one
   const pid_t child = fork();
   if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      if (access(folders.front().path.c_str(), R_OK | X_OK) != 0) _exit(0); // a private TMPDIR
      const SearchResult r = findPlugins(folders);
      _exit(r.unreadable.size() == 1 && r.plugins.size() == plugins - 1 ? 0 : 1);
   }
   int status = 0;
   waitpid(child, &status, 0);
   EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
       << "as an ordinary user, the locked folder was read or the search failed";
}

TEST_F(Discovery, FindsEachPlugInOnceInSearchOrderWithoutHangingOrLoadingOthers) {
   const std::vector<SearchFolder> folders{
       {path("a"), "VST_PATH"}, {path("b"), "VST_PATH"}, {path("absent"), "home"}};
   const SearchResult r = findPlugins(folders);

   struct Expected {
      const char* relative;
      const char* name;
      size_t folder;
   };
   std::vector<Expected> expected = {
       {archRelative.c_str(), "Arch", 0},
       {"Bundle.vst/Bundle.so", "Bundle", 0},
       {"Top.so", "Top", 0},
       {"collection/deep/Nested.so", "Nested", 0},
       {"locked/Hidden.so", "Hidden", 0}, // found only by root
       {"Top.so", "Top", 1},
   };
   if (geteuid() != 0) expected.erase(expected.begin() + 4);
   ASSERT_EQ(r.plugins.size(), expected.size());
   const fs::path real = fs::canonical(dir);
   for (size_t i = 0; i < expected.size(); ++i) {
      const FoundPlugin& found = r.plugins[i];
      EXPECT_EQ(found.relative, expected[i].relative);
      EXPECT_EQ(found.name, expected[i].name);
      EXPECT_EQ(found.folder, expected[i].folder) << found.relative;
      EXPECT_EQ(found.path, (real / (found.folder == 0 ? "a" : "b") / found.relative).string());
   }
   EXPECT_EQ(r.notPlugins, (std::vector<std::string>{(real / "a/NoEntry.so").string(),
                                                     (real / "a/script.so").string()}));
   if (geteuid() != 0) {
      EXPECT_EQ(r.unreadable, std::vector<std::string>{path("a/locked")});
   }
   expectLockedFolderLeftOutByAnOrdinaryUser(folders, r.plugins.size());
}

TEST_F(Discovery, ABareNameFindsTheFirstPlugInOfThatNameAnywhereBelowTheSearchPath) {
   setenv("VST_PATH", (path("b") + ":" + path("a")).c_str(), 1);
   setenv("PLUGHOST_SYSTEM_PATH", "", 1);
   const fs::path real = fs::canonical(dir);
   for (const auto& [name, found] : std::vector<std::pair<std::string, fs::path>>{
            {"Top", real / "b/Top.so"},
            {"Top.so", real / "b/Top.so"},
            {"Nested", real / "a/collection/deep/Nested.so"},
            {"Bundle.vst", real / "a/Bundle.vst/Bundle.so"},
            {"Arch", real / "a" / archRelative},
        }) {
      EXPECT_EQ(findPlugin(name), found.string()) << name;
   }
   EXPECT_THROW(findPlugin("helper"), std::exception);
   unsetenv("VST_PATH");
   unsetenv("PLUGHOST_SYSTEM_PATH");
}

TEST(SearchPathOrder, EnvironmentThenHomeThenSystemVstBeforeLxvstEach) {
   setenv("VST_PATH", "/v1::/v2", 1);
   setenv("LXVST_PATH", "/x1", 1);
   const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
   setenv("HOME", "/h", 1);
   unsetenv("PLUGHOST_SYSTEM_PATH");
   std::vector<std::string> order;
   for (const auto& f : searchPath())
      order.push_back(f.path + " " + f.origin);
   EXPECT_EQ(order,
             (std::vector<std::string>{"/v1 VST_PATH", "/v2 VST_PATH", "/x1 LXVST_PATH",
                                       "/h/.vst home", "/h/.lxvst home",
                                       "/usr/local/lib/vst system", "/usr/local/lib/lxvst system",
                                       "/usr/lib/vst system", "/usr/lib/lxvst system"}));
   unsetenv("VST_PATH");
   unsetenv("LXVST_PATH");
   setenv("HOME", home.c_str(), 1);
}

} // namespace
} // namespace plughost
