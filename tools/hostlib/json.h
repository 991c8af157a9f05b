// SPDX-License-Identifier: MIT
// JSON documents for machine-readable output, built with nlohmann's library. Keys keep the order
// they were added in. The library takes only UTF-8 texts, so every text that may hold other
// bytes (plug-in texts, paths, messages) goes in through jsonText, and numbers that must read
// back exactly through jsonNumber.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plughost {

using Json = nlohmann::ordered_json;

// The text as a JSON string: valid UTF-8 as it is, else escaped as plug-in texts are ("\xNN"
// for each byte that is not part of valid UTF-8 and each control character).
Json jsonText(std::string_view bytes);

// The shortest number that reads back as the same float or double; integral values without a
// fraction; null for NaN and infinities.
Json jsonNumber(float number);
Json jsonNumber(double number);

// The document as one line of compact JSON.
std::string jsonLine(const Json& document);

// Builds a document in call order, for output written field by field: keys and values go in
// where the last open object or array is, texts through jsonText, numbers through jsonNumber.
class JsonWriter {
public:
   JsonWriter& beginObject() { return open(Json::object()); }
   JsonWriter& endObject() { return close(); }
   JsonWriter& beginArray() { return open(Json::array()); }
   JsonWriter& endArray() { return close(); }
   JsonWriter& key(std::string_view name);

   JsonWriter& value(std::string_view text) { return add(jsonText(text)); }
   JsonWriter& value(const char* text) { return value(std::string_view(text)); }
   JsonWriter& value(bool flag) { return add(flag); }
   JsonWriter& value(int64_t number) { return add(number); }
   JsonWriter& value(int32_t number) { return add(number); }
   JsonWriter& value(double number) { return add(jsonNumber(number)); }
   JsonWriter& value(float number) { return add(jsonNumber(number)); }
   JsonWriter& null() { return add(nullptr); }

   // The document once every object and array is closed, as one line.
   std::string text() const { return jsonLine(root_); }

private:
   JsonWriter& open(Json container);
   JsonWriter& close();
   JsonWriter& add(Json item);

   Json root_;
   std::vector<Json> open_;        // the objects and arrays begun and not yet ended
   std::vector<std::string> keys_; // per open object, the key its next value goes under
   std::string key_;
};

} // namespace plughost
