// Checkout scanner-scales on a single cable: the scale shares the scanner's port, and its
// answers are lines that start with "S" and end with CR, between the scanner's label data.
// "S14" CR asks for the weight with a status digit: "S144" and the weight when it is stable
// and not zero, "S143" at a stable zero, "S141" moving, "S142" over capacity, "S145" under
// zero, "S140" when the scale cannot find zero. "S11" CR asks for a stable weight only, and
// is answered "S11" and the weight. The weight has no decimal point and no unit: four digits
// are pounds in hundredths, five are kilograms in thousandths (the scale weighs to 30.00 lb
// in 0.01 steps, or 15.000 kg in 0.005 steps). Nothing zeroes or tares the scale from here.
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, '\0', "\r");
}

// The weight digits: four in pounds, five in kilograms; nothing for any other field.
std::optional<ScaleFrame> Weight(std::string_view digits) {
  const bool pounds = digits.size() == 4;
  if (!pounds && digits.size() != 5) return std::nullopt;
  std::optional<std::string> value = PlaceDecimals(digits, pounds ? 2 : 3, false);
  if (!value || digits.find(' ') != std::string_view::npos) return std::nullopt;
  ScaleFrame frame = FrameOf(ScaleFrame::Kind::kWeight);
  frame.value = std::move(*value);
  frame.unit = pounds ? WeightUnit::kLb : WeightUnit::kKg;
  frame.stable = true;  // the scale sends a weight only when it is stable
  return frame;
}

ScaleFrame Monitor(std::string_view status) {
  if (status.size() == 1) {
    switch (status[0]) {
      case '0':
        return FrameOf(ScaleFrame::Kind::kBusy);  // cannot find zero
      case '1': {
        ScaleFrame moving = FrameOf(ScaleFrame::Kind::kMotion);
        moving.stable = false;
        return moving;
      }
      case '2':
        return FrameOf(ScaleFrame::Kind::kOverload);
      case '3': {
        // A stable zero comes without digits, so without a unit.
        ScaleFrame zero = FrameOf(ScaleFrame::Kind::kWeight);
        zero.value = "0";
        zero.stable = true;
        return zero;
      }
      case '5':
        return FrameOf(ScaleFrame::Kind::kUnderZero);
      default:
        break;
    }
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  if (status[0] != '4') return FrameOf(ScaleFrame::Kind::kInvalid);
  const std::optional<ScaleFrame> weight = Weight(status.substr(1));
  return weight ? *weight : FrameOf(ScaleFrame::Kind::kInvalid);
}

ScaleFrame Decode(std::string_view frame) {
  if (frame.size() < 2 || frame.back() != '\r') return FrameOf(ScaleFrame::Kind::kInvalid);
  const std::string_view line = frame.substr(0, frame.size() - 1);
  if (line.substr(0, 3) == "S14") return Monitor(line.substr(3));
  if (line.substr(0, 3) == "S11") {
    const std::optional<ScaleFrame> weight = Weight(line.substr(3));
    return weight ? *weight : FrameOf(ScaleFrame::Kind::kInvalid);
  }
  // The scanner's own data on the same cable: a frame of the port, but no weight.
  return FrameOf(line.front() == 'S' ? ScaleFrame::Kind::kNoWeight : ScaleFrame::Kind::kInvalid);
}

}  // namespace

const Protocol& Magellan() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "magellan";
    p.name = "Checkout scanner-scale, single cable (S11/S14)";
    p.line = LineFormat{9600, 7, 'E', 1};
    p.request = "S14\r";
    p.poll_ms = 200;
    p.motion_flag = true;
    p.split = Split;
    p.decode = Decode;
    p.reply = NoReply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
