#include "reading_json.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/string_view.hpp>
#include <cstdio>

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

// Boost.Date_Time's wording of a time (milliseconds since 1970), for any year it can hold.
std::string Rfc3339Boost(long long since_epoch) {
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

}  // namespace

std::string JsonString(std::string_view text) {
  // Printable ASCII without a quote or a backslash is its own escaping: quoted as it is,
  // without building the serializer, as for nearly every string a reading carries.
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
  });
  if (!plain) return boost::json::serialize(boost::json::string_view(text.data(), text.size()));
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

std::string Rfc3339Millis(std::chrono::system_clock::time_point at) {
  const auto since_epoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  // Boost.Date_Time's calendar holds years 1400 to 9999 and throws outside them.
  constexpr long long kFirstMs = -17987443200000LL;  // 1400-01-01T00:00:00Z
  constexpr long long kEndMs = 253402300800000LL;    // 10000-01-01T00:00:00Z
  if (since_epoch < kFirstMs || since_epoch >= kEndMs) return Rfc3339Boost(since_epoch);
  // Days and the time of day, floored, then the civil date of the day (proleptic Gregorian).
  const long long ms = ((since_epoch % 1000) + 1000) % 1000;
  const long long seconds = (since_epoch - ms) / 1000;
  const long long of_day = ((seconds % 86400) + 86400) % 86400;
  const long long days = (seconds - of_day) / 86400 + 719468;  // from 0000-03-01
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long day_of_era = days - era * 146097;
  const long long year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const long long day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const long long mp = (5 * day_of_year + 2) / 153;
  const long long day = day_of_year - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];  // room for any long long, as the compiler checks
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", year, month,
                day, of_day / 3600, of_day / 60 % 60, of_day % 60, ms);
  return text;
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
