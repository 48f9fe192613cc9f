#include "reading_json.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/string_view.hpp>

namespace qeld {
namespace {

// The decoder's value text: digits, ".", exactly three decimals. Anything else is null.
bool IsThreeDecimalNumber(std::string_view text) {
  const std::size_t point = text.find('.');
  if (point == std::string_view::npos || point == 0 || text.size() - point != 4) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != point && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

// A protocol's normalised value: optional "-", digits, at most one "." with digits after it.
bool IsScaleNumber(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  const std::size_t point = text.find('.');
  if (text.empty() || point == 0 || point + 1 == text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != point && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

std::string NumberOrNull(std::string_view text) {
  return IsScaleNumber(text) ? std::string(text) : std::string("null");
}

}  // namespace

std::string JsonString(std::string_view text) {
  return boost::json::serialize(boost::json::string_view(text.data(), text.size()));
}

std::string Rfc3339Millis(std::chrono::system_clock::time_point at) {
  const auto since_epoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  const boost::posix_time::ptime when = epoch + boost::posix_time::milliseconds(since_epoch);
  // "YYYY-MM-DDTHH:MM:SS" and the milliseconds of our own count (no sub-ms digits).
  std::string text = boost::posix_time::to_iso_extended_string(boost::posix_time::ptime(
      when.date(), boost::posix_time::seconds(when.time_of_day().total_seconds())));
  const long long ms = ((since_epoch % 1000) + 1000) % 1000;
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03lldZ", ms);
  return text + fraction;
}

std::string ReadingJson(const qel::Reading& reading) {
  // Composed in a fixed order so the value keeps its three decimals ("2.500", which a
  // JSON library would print as 2.5E0); every string goes through Boost.JSON's escaping.
  std::string out = "{\"port\":" + JsonString(reading.port);
  out += ",\"ok\":";
  out += reading.ok ? "true" : "false";
  out += ",\"value\":";
  const bool tagged = !reading.protocol.empty();
  const bool number = tagged ? IsScaleNumber(reading.value) : IsThreeDecimalNumber(reading.value);
  out += reading.ok && number ? reading.value : "null";
  out += ",\"text\":" + JsonString(reading.ok ? reading.text : "0");
  out += ",\"stable\":";
  out += !reading.stable ? "null" : (*reading.stable ? "true" : "false");
  out += ",\"at\":" + JsonString(Rfc3339Millis(reading.at));
  if (tagged) {
    out += ",\"protocol\":" + JsonString(reading.protocol);
    out += ",\"unit\":" + (reading.unit.empty() ? std::string("null") : JsonString(reading.unit));
    out += ",\"net\":";
    out += !reading.net ? "null" : (*reading.net ? "true" : "false");
    out += ",\"tare\":" + NumberOrNull(reading.tare);
  }
  if (!reading.ok) {
    const std::string_view error = qel::ReadingErrorName(reading.error);
    out += ",\"error\":" + JsonString(error.empty() ? "no-reading" : error);
    out += ",\"message\":" + (reading.message ? JsonString(*reading.message) : std::string("null"));
  }
  out += '}';
  return out;
}

int CommandStatus(qel::CommandResult result) {
  switch (result) {
    case qel::CommandResult::kAcknowledged:
      return 200;
    case qel::CommandResult::kNotSupported:
      return 409;
    case qel::CommandResult::kRefused:
      return 502;
    case qel::CommandResult::kTooManyCommands:
      return 503;
    case qel::CommandResult::kNoAnswer:
      break;
  }
  return 504;
}

std::string CommandJson(std::string_view port, std::string_view command,
                        qel::CommandResult result) {
  if (result != qel::CommandResult::kAcknowledged) {
    return ErrorJson(qel::CommandResultName(result));
  }
  return "{\"port\":" + JsonString(port) + ",\"command\":" + JsonString(command) + ",\"ok\":true}";
}

std::string ErrorJson(std::string_view code) { return "{\"error\":" + JsonString(code) + "}"; }

}  // namespace qeld
