// SPDX-License-Identifier: MIT
// Columns of text lined up for the terminal, two spaces apart.
#pragma once

#include <string>
#include <vector>

namespace plughost {

class TextTable {
public:
   // `align` holds one letter per column: 'l' for left, 'r' for right (numbers); columns beyond
   // it are left-aligned. An empty header prints no header line.
   explicit TextTable(std::vector<std::string> header = {}, std::string align = "");

   void add(std::vector<std::string> row);

   // Every line starts with `indent` and ends without trailing spaces.
   std::string text(const std::string& indent = "") const;

private:
   std::vector<std::vector<std::string>> rows_;
   std::string align_;
};

} // namespace plughost
