// The service's JSON texts for readings and errors.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "reading.h"

namespace qeld {

// RFC 3339 in UTC with milliseconds: "2024-05-01T12:34:56.789Z".
std::string Rfc3339Millis(std::chrono::system_clock::time_point at);

// {"port","ok","value","text","stable","at"} and, without a reading, "error" and "message".
// `value` is a JSON number with three decimals or null; `stable` null on an on-demand port.
std::string ReadingJson(const qel::Reading& reading);

// {"error": code} for rejected requests.
std::string ErrorJson(std::string_view code);

// A JSON string literal, escaped.
std::string JsonString(std::string_view text);

}  // namespace qeld
