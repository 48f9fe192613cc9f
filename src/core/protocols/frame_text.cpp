#include "frame_text.h"

#include <algorithm>

namespace qel::protocols {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

std::string_view SkipBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}

// `integer` and `fraction` (already checked to be digits) as the normal form.
std::string Compose(bool negative, std::string_view integer, std::string_view fraction) {
  const std::size_t first = integer.find_first_not_of('0');
  std::string text(first == std::string_view::npos ? std::string_view("0") : integer.substr(first));
  if (!fraction.empty()) {
    text += '.';
    text += fraction;
  }
  const bool zero = text.find_first_of("123456789") == std::string::npos;
  return negative && !zero ? '-' + text : text;
}

// Strips the sign `rules` allow; false when the field breaks them.
bool TakeSign(std::string_view& field, SignPlace place, bool& negative) {
  negative = false;
  if (place == SignPlace::kFirst) {
    if (field.empty() || (field[0] != '+' && field[0] != '-')) return false;
    negative = field[0] == '-';
    field.remove_prefix(1);
  }
  return true;
}

}  // namespace

std::optional<std::string> NormalisedNumber(std::string_view field, NumberRules rules) {
  bool negative = false;
  if (!TakeSign(field, rules.sign, negative)) return std::nullopt;
  if (rules.blanks) field = SkipBlanks(field);
  if (rules.sign == SignPlace::kAfterBlanks && !field.empty() && field[0] == '-') {
    negative = true;
    field.remove_prefix(1);
  }
  const std::size_t point = field.find('.');
  const std::string_view integer = field.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : field.substr(point + 1);
  if (!AllDigits(integer)) return std::nullopt;
  if (point != std::string_view::npos && !AllDigits(fraction)) return std::nullopt;
  return Compose(negative, integer, fraction);
}

std::optional<std::string> PlaceDecimals(std::string_view digits, unsigned decimals,
                                         bool negative) {
  const std::string_view significant = SkipBlanks(digits);
  if (!AllDigits(significant)) return std::nullopt;
  std::string padded(significant);
  if (padded.size() <= decimals) padded.insert(0, decimals + 1 - padded.size(), '0');
  const std::size_t split = padded.size() - decimals;
  return Compose(negative, std::string_view(padded).substr(0, split),
                 std::string_view(padded).substr(split));
}

std::optional<WeightUnit> UnitFromText(std::string_view text) {
  struct Name {
    std::string_view text;
    WeightUnit unit;
  };
  static constexpr Name kNames[] = {{"kg", WeightUnit::kKg}, {"g", WeightUnit::kG},
                                    {"lb", WeightUnit::kLb}, {"oz", WeightUnit::kOz},
                                    {"mg", WeightUnit::kMg}, {"t", WeightUnit::kT},
                                    {"ct", WeightUnit::kCt}};
  for (const Name& name : kNames) {
    if (name.text == text) return name.unit;
  }
  return std::nullopt;
}

bool IsPrintable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

std::size_t SplitDelimited(std::string_view buffer, std::string_view& frame, char start,
                           std::string_view end) {
  if (start != '\0' && (buffer.empty() || buffer[0] != start)) {
    // Noise before a record: up to the next start, or all of it.
    const std::size_t next = buffer.find(start);
    return next == std::string_view::npos ? buffer.size() : next;
  }
  const std::size_t finish = buffer.find(end);
  const std::size_t restart = start != '\0' ? buffer.find(start, 1) : std::string_view::npos;
  if (restart != std::string_view::npos && (finish == std::string_view::npos || restart < finish)) {
    return restart;  // cut off by the next record's start
  }
  if (finish == std::string_view::npos || finish + end.size() > kMaxFrame) {
    if (finish != std::string_view::npos) return finish + end.size();  // too long: noise
    if (buffer.size() < kMaxFrame) return 0;
    // Too long already; keep what could be the first bytes of an end.
    return buffer.size() - (end.size() - 1);
  }
  frame = buffer.substr(0, finish + end.size());
  return frame.size();
}

ScaleFrame FrameOf(ScaleFrame::Kind kind) {
  ScaleFrame frame;
  frame.kind = kind;
  return frame;
}

ScaleFrame::Kind NoReply(ScaleCommand, std::string_view) { return ScaleFrame::Kind::kInvalid; }

ScaleFrame CommaHeaderFrame(std::string_view header, std::string_view field, WeightUnit unit,
                            NumberRules rules) {
  if (header == "OL") {
    if (!IsPrintable(field)) return FrameOf(ScaleFrame::Kind::kInvalid);
    return FrameOf(field[0] == '-' ? ScaleFrame::Kind::kUnderZero : ScaleFrame::Kind::kOverload);
  }
  if (header != "ST" && header != "US") return FrameOf(ScaleFrame::Kind::kInvalid);
  std::optional<std::string> value = NormalisedNumber(field, rules);
  if (!value) return FrameOf(ScaleFrame::Kind::kInvalid);
  ScaleFrame result = FrameOf(ScaleFrame::Kind::kWeight);
  result.value = std::move(*value);
  result.stable = header == "ST";
  result.unit = unit;
  return result;
}

}  // namespace qel::protocols
