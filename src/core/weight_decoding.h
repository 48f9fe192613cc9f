// Turns one received buffer into a weight text.
//
// The scale streams frames of "=" followed by a 7-character field holding the weight
// backwards ("432.100" is 1.234), with trailing spaces ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Before kNoReading below: ReadingError::kNoReading declared after it would shadow it.
#include "reading.h"
#include "services.h"

namespace qel {

// The text the driver decodes: the first `bytes_read` bytes, one character per byte.
// The count is clamped to 0..kReadSize.
std::string ReceivedText(const std::uint8_t* buffer, std::int32_t bytes_read);

// A text of 8 characters or fewer holds no frame, not even when it is exactly one ("=" and
// its 7-character field): the scale sends frames without pause, so a healthy cycle reads far
// more, and a read that stops right at a frame's length cannot show that the frame was
// complete rather than cut. Callers rely on this threshold, so it stays as it is.
inline constexpr std::size_t kMinFrameText = 9;
inline constexpr std::size_t kWeightFieldLength = 7;

// The candidate of the first frame: the field after the first "=", trailing spaces removed,
// "." turned into ",", characters reversed. No value when the text holds no "=" or the
// field is cut short by the end of the text.
std::optional<std::string> ExtractWeightField(std::string_view received);

// The frame's own number syntax, the same in every locale: optional spaces, an optional
// sign, digits with at most one "," and at least one digit, optional spaces.
bool IsNumericCandidate(std::string_view candidate);

// Whether a numeric candidate stands for a value below zero ("-0" does not).
bool IsNegativeCandidate(std::string_view candidate);

// A numeric candidate with exactly three decimals (rounded half away from zero), the
// user's decimal separator and leading-zero rule, no grouping.
std::string FormatWeight(std::string_view candidate, const NumberFormat& format);

// Acceptance rules of the two driver methods.
inline constexpr std::string_view kNoReading = "0";
std::string AcceptWeight(const std::optional<std::string>& candidate, const NumberFormat& format);
bool AcceptProbe(const std::optional<std::string>& candidate);

// A weight as readings carry it: `value` with "." and three decimals whatever the locale
// ("1.234"), `text` as the driver's GetWeight_ gives it in `format`.
struct DecodedWeight {
  bool ok = false;
  std::string value;  // empty without a reading
  std::string text = std::string(kNoReading);
};
DecodedWeight DecodeWeight(const std::optional<std::string>& candidate, const NumberFormat& format);

}  // namespace qel
