// The service's JSON texts for readings and errors.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "reading.h"
#include "scale_link.h"

namespace qeld {

// RFC 3339 in UTC with milliseconds: "2024-05-01T12:34:56.789Z".
std::string Rfc3339Millis(std::chrono::system_clock::time_point at);

// {"port","ok","value","text","stable","at"} and, without a reading, "error" and "message".
// `value` is a JSON number with three decimals or null; `stable` null on an on-demand port.
// A port read in a named protocol adds "protocol", "unit", "net" and "tare", and its value
// keeps the scale's own decimals.
std::string ReadingJson(const qel::Reading& reading);

// The HTTP status of a zero or tare: 200, 409 not supported, 502 refused, 504 no answer.
int CommandStatus(qel::CommandResult result);
// {"port","command","ok":true} once acknowledged, else {"error": "not-supported",
// "command-refused" or "no-answer"}.
std::string CommandJson(std::string_view port, std::string_view command, qel::CommandResult result);

// {"error": code} for rejected requests.
std::string ErrorJson(std::string_view code);

// A JSON string literal, escaped.
std::string JsonString(std::string_view text);

}  // namespace qeld
