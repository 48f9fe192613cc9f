// Continuous output at 9600 8N1: "ST,GS,+001.234 kg" CR LF. Stable (ST), unstable (US) or
// overload (OL); gross (GS) or net (NT); a sign and seven characters; the unit after an
// optional space.
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr std::string_view kEnd = "\r\n";
constexpr std::size_t kHeaders = 6;  // "ST,GS,"
constexpr std::size_t kField = 8;    // sign and seven characters

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, '\0', kEnd);
}

std::optional<WeightUnit> Unit(std::string_view rest) {
  if (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
  return UnitFromText(rest);
}

ScaleFrame Decode(std::string_view frame) {
  if (frame.size() < kHeaders + kField + kEnd.size() ||
      frame.substr(frame.size() - kEnd.size()) != kEnd || frame[2] != ',' || frame[5] != ',') {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  const std::string_view stability = frame.substr(0, 2);
  const std::string_view mode = frame.substr(3, 2);
  const std::string_view field = frame.substr(kHeaders, kField);
  const std::optional<WeightUnit> unit =
      Unit(frame.substr(kHeaders + kField, frame.size() - kEnd.size() - kHeaders - kField));
  if (!unit || (mode != "GS" && mode != "NT")) return FrameOf(ScaleFrame::Kind::kInvalid);
  ScaleFrame result =
      CommaHeaderFrame(stability, field, *unit, NumberRules{SignPlace::kFirst, true});
  if (result.kind == ScaleFrame::Kind::kWeight) result.net = mode == "NT";
  return result;
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
