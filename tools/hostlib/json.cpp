// SPDX-License-Identifier: MIT
#include "tools/hostlib/json.h"

#include "tools/hostlib/plugin_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace plughost {
namespace {

bool isUtf8(std::string_view bytes) {
   const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
   for (size_t i = 0; i < bytes.size();) {
      const size_t length = utf8SequenceLength(s + i, bytes.size() - i);
      if (length == 0) return false;
      i += length;
   }
   return true;
}

// A number in the shortest decimal form of its own precision, read back as a double, which the
// library then writes in that same shortest form.
template <class T>
Json shortest(T number) {
   if (!std::isfinite(number)) return nullptr;
   if (number == std::trunc(number) && std::fabs(number) < 9.0e15) {
      return static_cast<int64_t>(number);
   }
   char text[64];
   const auto end = std::to_chars(text, text + sizeof text - 1, number).ptr;
   *end = '\0';
   return std::strtod(text, nullptr);
}

} // namespace

Json jsonText(std::string_view bytes) {
   if (isUtf8(bytes)) return std::string(bytes);
   return pluginText(bytes.data(), bytes.size());
}

Json jsonNumber(float number) {
   return shortest(number);
}

Json jsonNumber(double number) {
   return shortest(number);
}

std::string jsonLine(const Json& document) {
   // Every text came through jsonText; should one not have, it is still written, with U+FFFD
   // for what is not UTF-8, rather than the output lost.
   return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

JsonWriter& JsonWriter::key(std::string_view name) {
   key_ = jsonText(name).get<std::string>();
   return *this;
}

JsonWriter& JsonWriter::open(Json container) {
   keys_.push_back(std::move(key_));
   key_.clear();
   open_.push_back(std::move(container));
   return *this;
}

JsonWriter& JsonWriter::close() {
   if (open_.empty()) return *this;
   Json done = std::move(open_.back());
   open_.pop_back();
   key_ = std::move(keys_.back());
   keys_.pop_back();
   return add(std::move(done));
}

JsonWriter& JsonWriter::add(Json item) {
   if (open_.empty()) {
      root_ = std::move(item);
   } else if (open_.back().is_array()) {
      open_.back().push_back(std::move(item));
   } else {
      open_.back()[key_] = std::move(item);
   }
   key_.clear();
   return *this;
}

} // namespace plughost
