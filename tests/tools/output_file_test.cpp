// SPDX-License-Identifier: MIT
// Output files appear whole or not at all, and never replace a file without --overwrite.
#include "tools/hostlib/output_file.h"
#include "tools/hostlib/tool_error.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace plughost {
namespace {

namespace fs = std::filesystem;

class PendingOutputTest : public ::testing::Test {
protected:
   fs::path dir;

   void SetUp() override {
      dir = fs::temp_directory_path() /
            ("plughost-output-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
      fs::create_directories(dir);
   }
   void TearDown() override { fs::remove_all(dir); }
   std::string file(const char* name) const { return (dir / name).string(); }

   static void put(const std::string& path, const char* text) { std::ofstream(path) << text; }
   static std::string read(const std::string& path) {
      std::ifstream in(path);
      std::stringstream text;
      text << in.rdbuf();
      return text.str();
   }
   size_t entries() const {
      return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
   }
};

TEST_F(PendingOutputTest, AppearsUnderItsNameOnlyWhenCommitted) {
   const std::string out = file("out.wav");
   {
      PendingOutput pending(out, false);
      EXPECT_EQ(fs::path(pending.temporaryPath()).parent_path(), dir);
      put(pending.temporaryPath(), "whole");
      EXPECT_FALSE(fs::exists(out));
      pending.commit();
   }
   EXPECT_EQ(read(out), "whole");
   EXPECT_EQ(entries(), 1u) << "the temporary file is gone";
   // A new file gets the permissions of any new file, not those of a private temporary one.
   const mode_t mask = umask(0);
   umask(mask);
   struct stat info {};
   ASSERT_EQ(stat(out.c_str(), &info), 0);
   EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(PendingOutputTest, LeavesNothingBehindWhenNotCommitted) {
   {
      PendingOutput pending(file("out.wav"), false);
      put(pending.temporaryPath(), "half");
   }
   EXPECT_EQ(entries(), 0u);
}

TEST_F(PendingOutputTest, NeverReplacesAFileWithoutOverwrite) {
   const std::string out = file("out.wav");
   put(out, "old");
   EXPECT_THROW(PendingOutput(out, false), ToolError);
   // A file that appears while the output is written is not replaced either.
   const std::string late = file("late.wav");
   {
      PendingOutput pending(late, false);
      put(pending.temporaryPath(), "new");
      put(late, "meanwhile");
      try {
         pending.commit();
         ADD_FAILURE() << "replaced a file created meanwhile";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::file);
      }
   }
   EXPECT_EQ(read(late), "meanwhile");
   EXPECT_EQ(entries(), 2u) << "the temporary file is gone";

   PendingOutput replacing(out, true);
   put(replacing.temporaryPath(), "new");
   replacing.commit();
   EXPECT_EQ(read(out), "new");
}

TEST_F(PendingOutputTest, AFolderThatCannotTakeTheFileIsAFileError) {
   for (const std::string& path : {file("no/such/out.wav"), dir.string()}) {
      try {
         PendingOutput pending(path, true);
         ADD_FAILURE() << path << " was accepted";
      } catch (const ToolError& e) {
         EXPECT_EQ(e.code(), ExitCode::file) << path;
      }
   }
}

} // namespace
} // namespace plughost
