// What the protocols share: the number syntax scales print weights in, the units they name,
// and cutting a byte stream into delimited records. Each protocol file keeps only its own
// grammar.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "../protocol.h"

namespace qel::protocols {

inline constexpr char kStx = '\x02';

// Longest record any protocol sends; a longer run without its end is noise and is dropped.
inline constexpr std::size_t kMaxFrame = 64;

// Where a weight field may carry its sign.
enum class SignPlace : unsigned char {
  kNone,         // no sign at all
  kFirst,        // '+' or '-' in the first character, always present
  kAfterBlanks,  // an optional '-' right before the digits
};

struct NumberRules {
  SignPlace sign = SignPlace::kNone;
  bool blanks = false;  // leading spaces allowed (before the digits, after a first sign)
};

// The weight in `field` normalised as ScaleFrame::value wants it ("+0001.230" -> "1.230",
// "-000.50" -> "-0.50"), or nothing when the field breaks `rules`: digits with at most one
// '.', a digit on each side of it. A zero is never negative.
std::optional<std::string> NormalisedNumber(std::string_view field, NumberRules rules);

// Digits with a decimal point placed `decimals` from the right ("001234", 3 -> "1.234"); the
// digits may start with blanks. Nothing when they are not digits.
std::optional<std::string> PlaceDecimals(std::string_view digits, unsigned decimals, bool negative);

// A unit's name as WeightUnitName writes it (exactly); nothing for any other text.
std::optional<WeightUnit> UnitFromText(std::string_view text);

// Printable ASCII, as a display's filler characters are.
bool IsPrintable(std::string_view text);

// Cuts the next record that starts with `start` (when not '\0') and ends with `end`:
// bytes before a start are consumed as noise, a record cut by a new start is dropped, and
// so is a run of kMaxFrame bytes without an end. Same contract as Protocol::split.
std::size_t SplitDelimited(std::string_view buffer, std::string_view& frame, char start,
                           std::string_view end);

// A frame of `kind`, for the kinds that carry no weight.
ScaleFrame FrameOf(ScaleFrame::Kind kind);

// The comma formats' stability header with its weight field: "ST" a stable and "US" a moving
// weight, "OL" an overload (under zero with a "-" sign; the digits are the display's, any
// printable ones), anything else no frame.
ScaleFrame CommaHeaderFrame(std::string_view header, std::string_view field, WeightUnit unit,
                            NumberRules rules);

// The reply of a protocol without commands: nothing answers one.
ScaleFrame::Kind NoReply(ScaleCommand command, std::string_view frame);

}  // namespace qel::protocols
