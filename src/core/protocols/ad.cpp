// Continuous output at 2400 7E1: "ST,+0001.234  kg" CR LF. The header says stable (ST),
// unstable (US) or overload (OL); the field is a sign and eight characters, the unit follows
// after one to three spaces.
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr std::string_view kEnd = "\r\n";
constexpr std::size_t kHeader = 3;  // "ST,"
constexpr std::size_t kField = 9;   // sign and eight characters
constexpr std::size_t kMaxSpaces = 3;

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, '\0', kEnd);
}

// One to three spaces, then the unit.
std::optional<WeightUnit> Unit(std::string_view rest) {
  const std::size_t spaces = rest.find_first_not_of(' ');
  if (spaces == 0 || spaces == std::string_view::npos || spaces > kMaxSpaces) return std::nullopt;
  return UnitFromText(rest.substr(spaces));
}

ScaleFrame Decode(std::string_view frame) {
  const std::size_t body = frame.size() - kEnd.size();
  if (frame.size() < kHeader + kField + kEnd.size() || frame.substr(body) != kEnd ||
      frame[2] != ',') {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  const std::string_view header = frame.substr(0, 2);
  const std::string_view field = frame.substr(kHeader, kField);
  const std::optional<WeightUnit> unit =
      Unit(frame.substr(kHeader + kField, body - kHeader - kField));
  if (!unit) return FrameOf(ScaleFrame::Kind::kInvalid);
  // An overload's digits are whatever the display shows ("9999999", "  .E").
  return CommaHeaderFrame(header, field, *unit, NumberRules{SignPlace::kFirst, false});
}

}  // namespace

const Protocol& Ad() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "ad";
    p.name = "A&D continuous output";
    p.line = LineFormat{2400, 7, 'E', 1};
    p.motion_flag = true;
    p.split = Split;
    p.decode = Decode;
    p.reply = NoReply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
