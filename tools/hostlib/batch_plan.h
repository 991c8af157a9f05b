// SPDX-License-Identifier: MIT
// Which files a batch run reads and which it writes: inputs given as files or folders (with
// their subfolders if asked), each written under one output folder with the subfolders
// mirrored, or inputs, output names and parameters read from a manifest. Everything that would
// make the run write the wrong file is refused here, before any file is processed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace plughost {

struct BatchItem {
   std::string input;
   std::string output;
   // Parameter settings of this file alone, applied after those of the whole run, each as
   // --param takes it with an optional stage prefix: "Decay=0.8", "2:Decay=0.8".
   std::vector<std::string> settings;
   size_t line = 0; // the manifest line it came from; 0 if none
};

// The extensions read as audio when a folder is scanned.
bool isAudioFileName(const std::string& name);

// `name` with its extension replaced by `extension` (without the dot); unchanged if empty.
std::string withExtension(const std::string& name, const std::string& extension);

// One item per input file, the files of each folder in `inputs` in name order (and those of its
// subfolders when `recursive`), hidden files skipped. A file given by name is written as
// OUTDIR/NAME; one found in a folder as OUTDIR/ its path below that folder. `extension`, if
// not empty, replaces each output's. Throws ToolError(ExitCode::file) for an input that does
// not exist, ToolError(ExitCode::usage) if nothing is left to process.
std::vector<BatchItem> planBatch(const std::vector<std::string>& inputs, bool recursive,
                                 const std::string& outdir, const std::string& extension);

// Reads a manifest: CSV with a header line, or JSON (an array of objects), chosen by the
// extension. Each row names an `input`, optionally an `output` (below `outdir`; default: the
// input's name, with `extension` if given) and parameters: in CSV every column besides input
// and output is a parameter ("Decay" or "2:Decay") and an empty cell leaves it alone; in JSON
// an object "params" maps names to values. Paths are relative to the current folder. Throws
// ToolError(ExitCode::usage) for a malformed manifest, naming the line.
std::vector<BatchItem> readManifest(const std::string& path, const std::string& outdir,
                                    const std::string& extension);

// Refuses, before any work: an input that does not exist (ExitCode::file), two inputs that
// would be written to the same output, and an input that is also an output
// (ExitCode::usage). The messages name the files and the manifest lines.
void checkBatch(const std::vector<BatchItem>& items);

// Creates `outdir` and the folders the outputs go in. Throws ToolError(ExitCode::file) if one
// cannot be created.
void createOutputFolders(const std::string& outdir, const std::vector<BatchItem>& items);

} // namespace plughost
