// SPDX-License-Identifier: MIT
#include "tools/plughost/text_table.h"

#include <algorithm>

namespace plughost {

TextTable::TextTable(std::vector<std::string> header, std::string align)
    : align_(std::move(align)) {
   if (!header.empty()) rows_.push_back(std::move(header));
}

void TextTable::add(std::vector<std::string> row) {
   rows_.push_back(std::move(row));
}

std::string TextTable::text(const std::string& indent) const {
   std::vector<size_t> widths;
   for (const auto& row : rows_) {
      widths.resize(std::max(widths.size(), row.size()), 0);
      for (size_t c = 0; c < row.size(); ++c)
         widths[c] = std::max(widths[c], row[c].size());
   }
   std::string out;
   for (const auto& row : rows_) {
      std::string line = indent;
      for (size_t c = 0; c < row.size(); ++c) {
         const std::string pad(widths[c] - row[c].size(), ' ');
         const bool right = c < align_.size() && align_[c] == 'r';
         line += right ? pad + row[c] : row[c] + pad;
         if (c + 1 < row.size()) line += "  ";
      }
      line.erase(line.find_last_not_of(' ') + 1);
      out += line + '\n';
   }
   return out;
}

} // namespace plughost
