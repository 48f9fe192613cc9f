// Polled scale at 9600 8N1 speaking the ECR protocol of CAS retail scales: ENQ asks whether
// data is there (the scale answers ACK), DC1 asks for the weight. The answer is SOH, STX, a
// status letter ("S" stable, "U" unstable), a sign (blank, "-", or "F" for overflow), six
// characters of weight with its point, a two-letter unit, BCC, ETX, EOT. BCC is the XOR of
// the characters from the status letter to the unit. The request sends ENQ and DC1 together:
// the scale reads them in turn.
#include <cctype>

#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr char kSoh = '\x01';
constexpr char kEtx = '\x03';
constexpr char kEot = '\x04';
constexpr std::size_t kLength = 15;  // SOH STX STA SIGN W(6) U(2) BCC ETX EOT
constexpr std::size_t kText = 2;     // where the status letter is
constexpr std::size_t kWeight = 4;
constexpr std::size_t kWeightWidth = 6;
constexpr std::size_t kUnit = 10;
constexpr std::size_t kBcc = 12;

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, kSoh, std::string_view(&kEot, 1));
}

bool BccOk(std::string_view frame) {
  unsigned bcc = 0;
  for (std::size_t i = kText; i < kBcc; ++i) bcc ^= static_cast<unsigned char>(frame[i]);
  return bcc == static_cast<unsigned char>(frame[kBcc]);
}

// The unit in either case, right-aligned ("kg", "Kg", " g").
std::optional<WeightUnit> Unit(std::string_view field) {
  if (field[0] == ' ') field.remove_prefix(1);
  std::string name(field);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return UnitFromText(name);
}

ScaleFrame Decode(std::string_view frame) {
  if (frame.size() != kLength || frame[0] != kSoh || frame[1] != kStx || frame[13] != kEtx ||
      frame[14] != kEot || !BccOk(frame)) {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  const char status = frame[kText];
  const char sign = frame[kText + 1];
  const std::optional<WeightUnit> unit = Unit(frame.substr(kUnit, 2));
  if ((status != 'S' && status != 'U') || (sign != ' ' && sign != '-' && sign != 'F') || !unit) {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  if (sign == 'F') return FrameOf(ScaleFrame::Kind::kOverload);
  std::optional<std::string> value =
      NormalisedNumber(frame.substr(kWeight, kWeightWidth), NumberRules{SignPlace::kNone, true});
  if (!value) return FrameOf(ScaleFrame::Kind::kInvalid);
  if (sign == '-' && value->find_first_of("123456789") != std::string::npos) *value = '-' + *value;
  ScaleFrame result = FrameOf(ScaleFrame::Kind::kWeight);
  result.value = std::move(*value);
  result.stable = status == 'S';
  result.unit = *unit;
  return result;
}

}  // namespace

const Protocol& CasEcr() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "cas-ecr";
    p.name = "CAS ECR (ENQ/DC1)";
    p.line = LineFormat{9600, 8, 'N', 1};
    p.request = "\x05\x11";
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
