// Continuous output at 9600 8N1, lines ending in CR LF, in the layouts CAS indicators send:
//   generic (and the "18 bytes" one): "ST,GS,+001.234 kg" - stable (ST), unstable (US) or
//     overload (OL); gross (GS) or net (NT); a sign and seven characters; the unit after an
//     optional space;
//   22 bytes: "ST,GS," device ID, lamp byte, ",", eight data characters (no sign), a blank
//     and a two-character unit ("kg", " t");
//   10 bytes: the eight data characters alone.
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr std::string_view kEnd = "\r\n";
constexpr std::size_t kHeaders = 6;  // "ST,GS,"
constexpr std::size_t kField = 8;    // sign and seven characters; or eight unsigned
constexpr std::size_t kLampLayout = 22;
constexpr std::size_t kDataLayout = 10;
constexpr unsigned kLampAlwaysSet = 0x80;

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, '\0', kEnd);
}

std::optional<WeightUnit> Unit(std::string_view rest) {
  if (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
  return UnitFromText(rest);
}

// The stability and mode headers with their field; the mode says net or gross.
ScaleFrame Headed(std::string_view frame, std::string_view field, WeightUnit unit,
                  NumberRules rules) {
  const std::string_view mode = frame.substr(3, 2);
  if (frame[2] != ',' || frame[5] != ',' || (mode != "GS" && mode != "NT")) {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  ScaleFrame result = CommaHeaderFrame(frame.substr(0, 2), field, unit, rules);
  if (result.kind == ScaleFrame::Kind::kWeight) result.net = mode == "NT";
  return result;
}

// "ST,GS," ID lamp "," data(8) blank unit(2) CR LF. The lamp byte repeats what the headers
// say; only its always-set bit is checked.
ScaleFrame LampLayout(std::string_view frame) {
  const unsigned lamp = static_cast<unsigned char>(frame[7]);
  const std::string_view unit_field = frame.substr(kHeaders + 3 + kField, 3);
  if (frame[8] != ',' || (lamp & kLampAlwaysSet) == 0 || unit_field[0] != ' ') {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  const std::size_t unit_start = unit_field.find_first_not_of(' ');
  const std::optional<WeightUnit> unit = unit_start == std::string_view::npos
                                             ? std::nullopt
                                             : UnitFromText(unit_field.substr(unit_start));
  if (!unit) return FrameOf(ScaleFrame::Kind::kInvalid);
  return Headed(frame, frame.substr(kHeaders + 3, kField), *unit, NumberRules{});
}

// Eight data characters and CR LF: no stability, mode or unit.
ScaleFrame DataLayout(std::string_view frame) {
  std::optional<std::string> value = NormalisedNumber(frame.substr(0, kField), NumberRules{});
  if (!value) return FrameOf(ScaleFrame::Kind::kInvalid);
  ScaleFrame result = FrameOf(ScaleFrame::Kind::kWeight);
  result.value = std::move(*value);
  return result;
}

ScaleFrame Decode(std::string_view frame) {
  if (frame.size() < kDataLayout || frame.substr(frame.size() - kEnd.size()) != kEnd) {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  if (frame.size() == kDataLayout) return DataLayout(frame);
  if (frame.size() < kHeaders + kField + kEnd.size()) return FrameOf(ScaleFrame::Kind::kInvalid);
  if (frame.size() == kLampLayout && frame[6] != '+' && frame[6] != '-') return LampLayout(frame);
  const std::optional<WeightUnit> unit =
      Unit(frame.substr(kHeaders + kField, frame.size() - kEnd.size() - kHeaders - kField));
  if (!unit) return FrameOf(ScaleFrame::Kind::kInvalid);
  return Headed(frame, frame.substr(kHeaders, kField), *unit, NumberRules{SignPlace::kFirst, true});
}

}  // namespace

const Protocol& Cas() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "cas";
    p.name = "CAS continuous output";
    p.line = LineFormat{9600, 8, 'N', 1};
    p.motion_flag = true;
    p.split = Split;
    p.decode = Decode;
    p.reply = NoReply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
