// SPDX-License-Identifier: MIT
#include "tools/hostlib/output_file.h"

#include "tools/hostlib/fatal_signal.h"
#include "tools/hostlib/tool_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace plughost {
namespace {

namespace fs = std::filesystem;

ToolError existsError(const std::string& path) {
   return ToolError(ExitCode::file, "'" + path + "' exists already",
                    "add --overwrite to replace it, or choose another name with -o");
}

ToolError writeError(const std::string& path, int error) {
   return ToolError(ExitCode::file,
                    "cannot write '" + path + "': " + std::string(std::strerror(error)),
                    "check that the folder exists and is writable");
}

// Flushes a file's or folder's data to the disk. A failure on the output file is an error
// (`name` non-empty: the data may not be there); one on a folder is ignored, as some file
// systems cannot sync folders.
void syncPath(const std::string& path, const std::string& name) {
   const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
   const int error = fd < 0 || fsync(fd) != 0 ? errno : 0;
   if (fd >= 0) close(fd);
   if (error != 0 && !name.empty() && error != EINVAL) throw writeError(name, error);
}

} // namespace

PendingOutput::PendingOutput(std::string path, bool overwrite)
    : path_(std::move(path)), overwrite_(overwrite) {
   std::error_code error;
   if (!overwrite_ && fs::exists(fs::symlink_status(path_, error))) throw existsError(path_);
   if (fs::is_directory(path_, error)) {
      throw ToolError(ExitCode::file, "'" + path_ + "' is a folder",
                      "give the name of the file to write with -o");
   }
   const fs::path target(path_);
   const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
   std::string file = ".";
   file += target.filename().string();
   file += ".XXXXXX";
   const std::string pattern = (folder / file).string();
   std::vector<char> name(pattern.begin(), pattern.end());
   name.push_back('\0');
   const int fd = mkstemp(name.data());
   if (fd < 0) throw writeError(path_, errno);
   close(fd);
   temporary_ = name.data();
   removeOnSignal(temporary_);
}

PendingOutput::~PendingOutput() {
   if (!committed_) {
      removeOnSignal("");
      unlink(temporary_.c_str());
   }
}

void PendingOutput::commit() {
   // mkstemp creates the file for its owner only; an output file gets what any new file gets.
   const mode_t mask = umask(0);
   umask(mask);
   chmod(temporary_.c_str(), 0666 & ~mask);
   // The data reaches the disk before the name does, so that a power cut cannot leave an
   // empty or partial file under the final name.
   syncPath(temporary_, path_);
   if (overwrite_) {
      if (rename(temporary_.c_str(), path_.c_str()) != 0) throw writeError(path_, errno);
   } else if (link(temporary_.c_str(), path_.c_str()) == 0) {
      // A hard link fails if the name exists, so nothing created meanwhile is replaced.
      unlink(temporary_.c_str());
   } else if (errno == EEXIST) {
      throw existsError(path_);
   } else {
      // A file system without hard links: check, then rename.
      std::error_code error;
      if (fs::exists(fs::symlink_status(path_, error))) throw existsError(path_);
      if (rename(temporary_.c_str(), path_.c_str()) != 0) throw writeError(path_, errno);
   }
   committed_ = true;
   removeOnSignal("");
   // And the rename itself reaches the disk: the folder's entry is data of the folder.
   const fs::path target(path_);
   syncPath(target.has_parent_path() ? target.parent_path().string() : ".", "");
}

} // namespace plughost
