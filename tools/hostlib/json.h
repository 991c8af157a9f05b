// SPDX-License-Identifier: MIT
// JSON documents for machine-readable output, built with nlohmann's library. Keys keep the order
// they were added in. The library takes only UTF-8 texts, so every text that may hold other
// bytes (plug-in texts, paths, messages) goes in through jsonText, and numbers that must read
// back exactly through jsonNumber.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

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

} // namespace plughost
