// SPDX-License-Identifier: MIT
#include "tools/hostlib/batch_plan.h"

#include "tools/hostlib/tool_error.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace plughost {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
   std::transform(text.begin(), text.end(), text.begin(),
                  [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
   return text;
}

std::string lineText(size_t line) {
   return line ? " (manifest line " + std::to_string(line) + ")" : "";
}

ToolError manifestError(const std::string& path, size_t line, const std::string& cause) {
   return ToolError(ExitCode::usage,
                    "manifest '" + path + "' line " + std::to_string(line) + ": " + cause,
                    "a manifest is CSV with a header line (input,output,PARAM,...) or a JSON array "
                    "of {\"input\", \"output\", \"params\": {NAME: VALUE}}");
}

// Splits CSV text into rows of cells: fields separated by commas, a field in double quotes may
// hold commas, line breaks and "" for a quote. Each row keeps the line it starts on.
std::vector<std::pair<size_t, std::vector<std::string>>> csvRows(const std::string& text,
                                                                 const std::string& path) {
   std::vector<std::pair<size_t, std::vector<std::string>>> rows;
   std::vector<std::string> row;
   std::string cell;
   size_t line = 1, rowLine = 1;
   bool quoted = false, any = false;
   for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (quoted) {
         if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            cell += '"';
            ++i;
         } else if (c == '"') {
            quoted = false;
         } else {
            if (c == '\n') ++line;
            cell += c;
         }
      } else if (c == '"') {
         quoted = any = true;
      } else if (c == ',') {
         row.push_back(std::move(cell));
         cell.clear();
         any = true;
      } else if (c == '\n' || c == '\r') {
         if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
         if (any || !cell.empty()) {
            row.push_back(std::move(cell));
            rows.emplace_back(rowLine, std::move(row));
         }
         row.clear();
         cell.clear();
         any = false;
         rowLine = ++line;
      } else {
         cell += c;
      }
   }
   if (quoted) throw manifestError(path, rowLine, "a quoted field is not closed");
   if (any || !cell.empty()) {
      row.push_back(std::move(cell));
      rows.emplace_back(rowLine, std::move(row));
   }
   return rows;
}

std::string defaultOutput(const std::string& input, const std::string& outdir,
                          const std::string& extension) {
   return (fs::path(outdir) / withExtension(fs::path(input).filename().string(), extension))
       .lexically_normal()
       .string();
}

// The value of a JSON cell as --param reads it: numbers in their shortest form, texts as they
// are.
std::string valueText(const nlohmann::json& value) {
   return value.is_string() ? value.get<std::string>() : value.dump();
}

} // namespace

bool isAudioFileName(const std::string& name) {
   static const char* const kExtensions[] = {"wav", "wave", "flac", "aif", "aiff", "aifc",
                                             "caf", "w64",  "rf64", "ogg", "oga",  "opus",
                                             "mp3", "au",   "snd",  "voc", "sd2"};
   const auto dot = name.rfind('.');
   if (dot == std::string::npos || dot == 0) return false;
   const std::string extension = lower(name.substr(dot + 1));
   return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                      [&](const char* e) { return extension == e; });
}

std::string withExtension(const std::string& name, const std::string& extension) {
   if (extension.empty()) return name;
   std::string e = extension.front() == '.' ? extension.substr(1) : extension;
   return fs::path(name).replace_extension(e).string();
}

std::vector<BatchItem> planBatch(const std::vector<std::string>& inputs, bool recursive,
                                 const std::string& outdir, const std::string& extension) {
   std::vector<BatchItem> items;
   for (const auto& input : inputs) {
      std::error_code error;
      const auto status = fs::status(input, error);
      if (!fs::exists(status)) {
         throw ToolError(ExitCode::file, "cannot read '" + input + "': no such file or folder",
                         "check the name; give files or folders (with -r for subfolders)");
      }
      if (!fs::is_directory(status)) {
         items.push_back({input, defaultOutput(input, outdir, extension), {}, 0});
         continue;
      }
      std::vector<fs::path> found;
      const auto consider = [&](const fs::directory_entry& entry) {
         const std::string name = entry.path().filename().string();
         if (entry.is_regular_file() && name.front() != '.' && isAudioFileName(name)) {
            found.push_back(entry.path());
         }
      };
      if (recursive) {
         for (auto it = fs::recursive_directory_iterator(input, error);
              !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            // Hidden folders (".git", a temporary folder) are not entered.
            if (it->is_directory() && it->path().filename().string().front() == '.') {
               it.disable_recursion_pending();
               continue;
            }
            consider(*it);
         }
      } else {
         for (const auto& entry : fs::directory_iterator(input, error))
            consider(entry);
      }
      if (error) {
         throw ToolError(ExitCode::file,
                         "cannot read the folder '" + input + "': " + error.message(),
                         "check that it exists and that you may read it");
      }
      std::sort(found.begin(), found.end());
      for (const auto& path : found) {
         const fs::path below = path.lexically_relative(input);
         items.push_back({path.string(),
                          (fs::path(outdir) / withExtension(below.string(), extension))
                              .lexically_normal()
                              .string(),
                          {},
                          0});
      }
   }
   if (items.empty()) {
      throw ToolError(ExitCode::usage, "no audio files to process",
                      recursive ? "the folders hold no audio files"
                                : "the folders hold no audio files; add -r for their subfolders");
   }
   return items;
}

std::vector<BatchItem> readManifest(const std::string& path, const std::string& outdir,
                                    const std::string& extension) {
   std::ifstream file(path, std::ios::binary);
   if (!file) {
      throw ToolError(ExitCode::file, "cannot read the manifest '" + path + "'",
                      "check the name and that you may read it");
   }
   std::stringstream buffer;
   buffer << file.rdbuf();
   const std::string text = buffer.str();
   std::vector<BatchItem> items;
   const auto outputFor = [&](const std::string& input, const std::string& output) {
      return output.empty() ? defaultOutput(input, outdir, extension)
                            : (fs::path(outdir) / output).lexically_normal().string();
   };
   if (lower(fs::path(path).extension().string()) == ".json") {
      nlohmann::json rows;
      try {
         rows = nlohmann::json::parse(text);
      } catch (const nlohmann::json::parse_error& e) {
         // The parser counts bytes; turn the position into a line.
         const size_t at = std::min<size_t>(e.byte, text.size());
         throw manifestError(
             path,
             1 + static_cast<size_t>(std::count(
                     text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n')),
             "this is no valid JSON");
      }
      if (!rows.is_array()) throw manifestError(path, 1, "the manifest is not a JSON array");
      for (size_t i = 0; i < rows.size(); ++i) {
         const auto& row = rows[i];
         const size_t entry = i + 1;
         if (!row.is_object() || !row.contains("input") || !row["input"].is_string()) {
            throw ToolError(ExitCode::usage,
                            "manifest '" + path + "' entry " + std::to_string(entry) +
                                ": no \"input\" file named",
                            "give each entry an \"input\" path");
         }
         BatchItem item;
         item.input = row["input"].get<std::string>();
         item.output = outputFor(item.input, row.value("output", std::string()));
         item.line = entry;
         if (row.contains("params")) {
            if (!row["params"].is_object()) {
               throw ToolError(ExitCode::usage,
                               "manifest '" + path + "' entry " + std::to_string(entry) +
                                   ": \"params\" is not an object",
                               "give parameters as {\"NAME\": VALUE, \"2:NAME\": VALUE}");
            }
            for (const auto& [name, value] : row["params"].items())
               item.settings.push_back(name + "=" + valueText(value));
         }
         items.push_back(std::move(item));
      }
      return items;
   }
   const auto rows = csvRows(text, path);
   if (rows.empty()) throw manifestError(path, 1, "the manifest is empty");
   const auto& header = rows.front().second;
   const auto column = std::find(header.begin(), header.end(), "input");
   if (column == header.end()) throw manifestError(path, rows.front().first, "no column 'input'");
   const auto inputColumn = static_cast<size_t>(column - header.begin());
   const auto outputAt = std::find(header.begin(), header.end(), "output");
   const size_t outputColumn =
       outputAt == header.end() ? SIZE_MAX : static_cast<size_t>(outputAt - header.begin());
   for (size_t r = 1; r < rows.size(); ++r) {
      const auto& [line, cells] = rows[r];
      if (cells.size() != header.size()) {
         throw manifestError(path, line,
                             std::to_string(cells.size()) + " fields where the header has " +
                                 std::to_string(header.size()));
      }
      if (cells[inputColumn].empty()) throw manifestError(path, line, "no input file named");
      BatchItem item;
      item.input = cells[inputColumn];
      item.output = outputFor(item.input, outputColumn == SIZE_MAX ? "" : cells[outputColumn]);
      item.line = line;
      for (size_t c = 0; c < cells.size(); ++c) {
         if (c != inputColumn && c != outputColumn && !cells[c].empty()) {
            item.settings.push_back(header[c] + "=" + cells[c]);
         }
      }
      items.push_back(std::move(item));
   }
   if (items.empty()) throw manifestError(path, rows.front().first, "no files listed");
   return items;
}

void checkBatch(const std::vector<BatchItem>& items) {
   std::map<std::string, const BatchItem*> outputs;
   for (const auto& item : items) {
      std::error_code error;
      if (!fs::is_regular_file(item.input, error)) {
         throw ToolError(ExitCode::file,
                         "cannot read '" + item.input + "'" + lineText(item.line) +
                             ": no such file",
                         "check the name; nothing was processed");
      }
      const std::string key = fs::weakly_canonical(item.output, error).string();
      const auto [at, added] = outputs.emplace(key, &item);
      if (!added) {
         throw ToolError(ExitCode::usage,
                         "'" + at->second->input + "'" + lineText(at->second->line) + " and '" +
                             item.input + "'" + lineText(item.line) +
                             " would both be written to '" + item.output + "'",
                         "give them different output names (a manifest's output column), or "
                         "write to different folders; nothing was processed");
      }
   }
   for (const auto& item : items) {
      std::error_code error;
      const auto found = outputs.find(fs::weakly_canonical(item.input, error).string());
      if (found != outputs.end()) {
         throw ToolError(ExitCode::usage,
                         "'" + item.input + "'" + lineText(item.line) +
                             " is an input and also the output of '" + found->second->input + "'",
                         "write the outputs to a folder apart from the inputs; nothing was "
                         "processed");
      }
   }
}

void createOutputFolders(const std::string& outdir, const std::vector<BatchItem>& items) {
   std::vector<std::string> folders{outdir};
   for (const auto& item : items)
      folders.push_back(fs::path(item.output).parent_path().string());
   std::sort(folders.begin(), folders.end());
   folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
   for (const auto& folder : folders) {
      std::error_code error;
      if (folder.empty()) continue;
      fs::create_directories(folder, error);
      if (error || !fs::is_directory(folder)) {
         throw ToolError(ExitCode::file,
                         "cannot create the output folder '" + folder +
                             "': " + (error ? error.message() : "a file has that name"),
                         "choose another folder with -O, or check that you may write there");
      }
   }
}

} // namespace plughost
