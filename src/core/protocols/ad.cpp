// Continuous output at 2400 7E1, lines ending in CR LF, in the layouts A&D instruments send:
//   balances: "ST,+0001.234  kg" - stable (ST), unstable (US) or overload (OL), a sign and
//     eight characters, one to three spaces and the unit; an overload may come as
//     "OL,+9999999E+19" with no unit;
//   indicators: "ST,NT,+0012.34kg" - a second header, gross (GS) or net (NT), a sign and seven
//     characters, a two-character unit ("kg", " g", " t", or blanks for none).
#include <algorithm>

#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr std::string_view kEnd = "\r\n";
constexpr std::size_t kHeader = 3;  // "ST,"
constexpr std::size_t kField = 9;   // sign and eight characters
constexpr std::size_t kMaxSpaces = 3;
constexpr std::size_t kIndicatorField = 8;  // sign and seven characters
constexpr std::size_t kIndicatorLength = 18;

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, '\0', kEnd);
}

// One to three spaces, then the unit.
std::optional<WeightUnit> Unit(std::string_view rest) {
  const std::size_t spaces = rest.find_first_not_of(' ');
  if (spaces == 0 || spaces == std::string_view::npos || spaces > kMaxSpaces) return std::nullopt;
  return UnitFromText(rest.substr(spaces));
}

// The indicators' two-character unit: right-aligned, blanks when there is none.
std::optional<WeightUnit> IndicatorUnit(std::string_view field) {
  if (field == "  ") return WeightUnit::kNone;
  return UnitFromText(field[0] == ' ' ? field.substr(1) : field);
}

// "ST,NT,+0012.34kg" CR LF; "LO" is another name for out of range.
ScaleFrame Indicator(std::string_view frame) {
  const std::string_view mode = frame.substr(kHeader, 2);
  const std::optional<WeightUnit> unit =
      IndicatorUnit(frame.substr(kHeader + 3 + kIndicatorField, 2));
  if (frame[kHeader + 2] != ',' || (mode != "GS" && mode != "NT") || !unit) {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  std::string_view header = frame.substr(0, 2);
  if (header == "LO") header = "OL";
  ScaleFrame result = CommaHeaderFrame(header, frame.substr(kHeader + 3, kIndicatorField), *unit,
                                       NumberRules{SignPlace::kFirst, false});
  if (result.kind == ScaleFrame::Kind::kWeight) result.net = mode == "NT";
  return result;
}

ScaleFrame Decode(std::string_view frame) {
  const std::size_t body = frame.size() - kEnd.size();
  if (frame.size() < kHeader + kField + kEnd.size() || frame.substr(body) != kEnd ||
      frame[2] != ',') {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  const std::string_view header = frame.substr(0, 2);
  const std::string_view rest = frame.substr(kHeader, body - kHeader);
  if (header == "OL" && (rest == "+9999999E+19" || rest == "-9999999E+19")) {
    return FrameOf(rest[0] == '-' ? ScaleFrame::Kind::kUnderZero : ScaleFrame::Kind::kOverload);
  }
  if (frame.size() == kIndicatorLength && frame[kHeader + 2] == ',') return Indicator(frame);
  const std::optional<WeightUnit> unit = Unit(rest.substr(std::min(rest.size(), kField)));
  if (rest.size() <= kField || !unit) return FrameOf(ScaleFrame::Kind::kInvalid);
  // An overload's digits are whatever the display shows ("9999999", "  .E").
  return CommaHeaderFrame(header, rest.substr(0, kField), *unit,
                          NumberRules{SignPlace::kFirst, false});
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
