#include "hid_scale.h"

#include <string>

#include "protocols/frame_text.h"

namespace qel {
namespace {

constexpr std::size_t kDataSize = 5;
// Past this the value would be an absurd text; no real scale shifts that far.
constexpr int kMaxExponent = 9;

enum Status : std::uint8_t {
  kFault = 1,
  kStableAtZero = 2,
  kInMotion = 3,
  kStable = 4,
  kUnderZero = 5,
  kOverLimit = 6,
  kNeedsCalibration = 7,
  kNeedsRezeroing = 8,
};

WeightUnit UnitOf(std::uint8_t unit) {
  switch (unit) {
    case 1:
      return WeightUnit::kMg;
    case 2:
      return WeightUnit::kG;
    case 3:
      return WeightUnit::kKg;
    case 4:
      return WeightUnit::kCt;
    case 8:
      return WeightUnit::kT;
    case 11:
      return WeightUnit::kOz;
    case 12:
      return WeightUnit::kLb;
    default:
      return WeightUnit::kNone;  // taels, grains, pennyweights, short tons, troy ounces
  }
}

// The weight `raw` x 10^exponent in ScaleFrame's syntax; empty when the exponent is absurd.
std::string WeightText(std::uint32_t raw, int exponent) {
  if (exponent > kMaxExponent || exponent < -kMaxExponent) return {};
  const std::string digits = std::to_string(raw);
  if (exponent >= 0) return raw == 0 ? "0" : digits + std::string(exponent, '0');
  return protocols::PlaceDecimals(digits, static_cast<unsigned>(-exponent), false).value_or("");
}

}  // namespace

ScaleFrame DecodeHidScaleReport(std::string_view data) {
  if (data.size() < kDataSize) return protocols::FrameOf(ScaleFrame::Kind::kInvalid);
  const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(data[at]); };
  switch (byte(0)) {
    case kFault:
    case kNeedsCalibration:
    case kNeedsRezeroing:
      return protocols::FrameOf(ScaleFrame::Kind::kBusy);
    case kUnderZero:
      return protocols::FrameOf(ScaleFrame::Kind::kUnderZero);
    case kOverLimit:
      return protocols::FrameOf(ScaleFrame::Kind::kOverload);
    case kStableAtZero:
    case kInMotion:
    case kStable:
      break;
    default:
      return protocols::FrameOf(ScaleFrame::Kind::kInvalid);
  }
  ScaleFrame frame;
  frame.unit = UnitOf(byte(1));
  const std::uint32_t raw = byte(3) | static_cast<std::uint32_t>(byte(4)) << 8;
  frame.value = WeightText(raw, static_cast<std::int8_t>(byte(2)));
  if (frame.unit == WeightUnit::kNone || frame.value.empty()) {
    return protocols::FrameOf(ScaleFrame::Kind::kInvalid);
  }
  frame.kind = ScaleFrame::Kind::kWeight;
  frame.stable = byte(0) != kInMotion;
  return frame;
}

}  // namespace qel
