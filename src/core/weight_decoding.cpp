#include "weight_decoding.h"

#include <algorithm>
#include <utility>

namespace qel {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The parts of a numeric candidate, spaces and sign stripped.
struct DecimalParts {
  bool negative = false;
  std::string_view integer;   // digits before ","
  std::string_view fraction;  // digits after ","
};

// Parses the frame's number syntax; false when the candidate is not numeric.
bool ParseCandidate(std::string_view text, DecimalParts& parts) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    parts.negative = text[i] == '-';
    ++i;
  }
  const std::size_t int_begin = i;
  while (i < n && IsDigit(text[i])) ++i;
  parts.integer = text.substr(int_begin, i - int_begin);
  parts.fraction = {};
  if (i < n && text[i] == ',') {
    ++i;
    const std::size_t frac_begin = i;
    while (i < n && IsDigit(text[i])) ++i;
    parts.fraction = text.substr(frac_begin, i - frac_begin);
  }
  while (i < n && text[i] == ' ') ++i;
  return i == n && (!parts.integer.empty() || !parts.fraction.empty());
}

bool AllZero(std::string_view digits) {
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c == '0'; });
}

}  // namespace

std::string ReceivedText(const std::uint8_t* buffer, std::int32_t bytes_read) {
  const std::int32_t count =
      std::clamp<std::int32_t>(bytes_read, 0, static_cast<std::int32_t>(kReadSize));
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(count));
}

std::optional<std::string> ExtractWeightField(std::string_view received) {
  const std::size_t equals = received.find('=');
  // No frame start: noise must never become a weight.
  if (equals == std::string_view::npos) return std::nullopt;
  // A field cut short by the end of the buffer would lose its leading digits (the field is
  // reversed), so 1.234 could read as 0.234: not a reading.
  if (received.size() - equals - 1 < kWeightFieldLength) return std::nullopt;

  std::string field(received.substr(equals + 1, kWeightFieldLength));
  while (!field.empty() && field.back() == ' ') field.pop_back();
  std::replace(field.begin(), field.end(), '.', ',');
  std::reverse(field.begin(), field.end());
  return field;
}

bool IsNumericCandidate(std::string_view candidate) {
  DecimalParts parts;
  return ParseCandidate(candidate, parts);
}

bool IsNegativeCandidate(std::string_view candidate) {
  DecimalParts parts;
  if (!ParseCandidate(candidate, parts)) return false;
  return parts.negative && !(AllZero(parts.integer) && AllZero(parts.fraction));
}

std::string FormatWeight(std::string_view candidate, const NumberFormat& format) {
  DecimalParts parts;
  if (!ParseCandidate(candidate, parts)) return std::string(kNoReading);

  // Integer digits without leading zeros, then three decimals rounded half away from zero,
  // done on the decimal digits so no binary rounding creeps in.
  std::string integer(parts.integer);
  integer.erase(0, std::min(integer.find_first_not_of('0'), integer.size()));
  std::string fraction(parts.fraction.substr(0, std::min<std::size_t>(parts.fraction.size(), 3)));
  fraction.resize(3, '0');
  if (parts.fraction.size() > 3 && parts.fraction[3] >= '5') {
    std::string digits = integer + fraction;
    int pos = static_cast<int>(digits.size()) - 1;
    while (pos >= 0 && digits[static_cast<std::size_t>(pos)] == '9') {
      digits[static_cast<std::size_t>(pos)] = '0';
      --pos;
    }
    if (pos >= 0) {
      ++digits[static_cast<std::size_t>(pos)];
    } else {
      digits.insert(digits.begin(), '1');
    }
    integer = digits.substr(0, digits.size() - 3);
    fraction = digits.substr(digits.size() - 3);
  }
  if (integer.empty() && format.leading_zero) integer = "0";

  const bool negative = parts.negative && !(AllZero(integer) && AllZero(fraction));
  std::string text;
  text.reserve(integer.size() + fraction.size() + format.decimal_separator.size() + 1);
  if (negative) text += '-';
  text += integer;
  text += format.decimal_separator;
  text += fraction;
  return text;
}

std::string AcceptWeight(const std::optional<std::string>& candidate, const NumberFormat& format) {
  if (!candidate || !IsNumericCandidate(*candidate) || IsNegativeCandidate(*candidate)) {
    return std::string(kNoReading);
  }
  return FormatWeight(*candidate, format);
}

bool AcceptProbe(const std::optional<std::string>& candidate) {
  return candidate && IsNumericCandidate(*candidate);
}

DecodedWeight DecodeWeight(const std::optional<std::string>& candidate,
                           const NumberFormat& format) {
  static const NumberFormat kPoint{".", true};
  DecodedWeight decoded;
  std::string value = AcceptWeight(candidate, kPoint);
  if (value == kNoReading) return decoded;
  decoded.ok = true;
  decoded.value = std::move(value);
  decoded.text = AcceptWeight(candidate, format);
  return decoded;
}

}  // namespace qel
