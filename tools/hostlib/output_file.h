// SPDX-License-Identifier: MIT
// An output file that appears whole or not at all: written under a temporary name in the same
// folder and renamed to its own name only when it is complete.
#pragma once

#include <string>

namespace plughost {

class PendingOutput {
public:
   // Creates an empty file with a unique temporary name beside `path` (".NAME.XXXXXX"). Throws
   // ToolError(ExitCode::file) if the folder does not exist or cannot be written, or if `path`
   // exists and `overwrite` is false.
   PendingOutput(std::string path, bool overwrite);

   // Removes the temporary file unless commit() has moved it into place.
   ~PendingOutput();
   PendingOutput(const PendingOutput&) = delete;
   PendingOutput& operator=(const PendingOutput&) = delete;

   const std::string& path() const { return path_; }
   const std::string& temporaryPath() const { return temporary_; }

   // Gives the temporary file the permissions a new file gets, flushes it to the disk, moves it
   // to `path` and flushes the folder, so the name never appears before the data. Without
   // `overwrite` an existing file is never replaced, not even one created meanwhile: throws
   // ToolError(ExitCode::file) then, and the temporary file is removed.
   void commit();

private:
   std::string path_;
   std::string temporary_;
   bool overwrite_;
   bool committed_ = false;
};

} // namespace plughost
