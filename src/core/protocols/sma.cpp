// Polled scale at 9600 8N1: LF "W" CR asks for the weight, LF "Z" CR zeroes, LF "T" CR tares.
// Every answer is the same 20-byte record: LF, status, range, gross/net/tare, motion, a
// byte reserved for extensions, the weight right-aligned in 10, the unit left-aligned in 3,
// CR. A command the scale does not know is answered LF "?" CR, one it received garbled
// LF "!" CR.
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr std::size_t kLength = 20;
constexpr std::size_t kWeightAt = 6;
constexpr std::size_t kWeightWidth = 10;
constexpr std::size_t kUnitWidth = 3;

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, '\n', "\r");
}

struct Record {
  char status;  // 'Z' at zero, 'O' over, 'U' under, 'E'/'I' zero errors, 'T' tare error, ' '
  char mode;    // 'G' gross, 'N' net, 'T' the field is the tare
  bool motion;
  WeightUnit unit;
  std::string_view weight;
};

bool OneOf(char c, std::string_view allowed) { return allowed.find(c) != std::string_view::npos; }

// The unit, left-aligned and padded with spaces.
std::optional<WeightUnit> Unit(std::string_view field) {
  const std::size_t end = field.find(' ');
  if (end != std::string_view::npos &&
      field.find_first_not_of(' ', end) != std::string_view::npos) {
    return std::nullopt;
  }
  return UnitFromText(field.substr(0, end));
}

std::optional<Record> Parse(std::string_view frame) {
  if (frame.size() != kLength || frame.front() != '\n' || frame.back() != '\r') {
    return std::nullopt;
  }
  const std::optional<WeightUnit> unit = Unit(frame.substr(kWeightAt + kWeightWidth, kUnitWidth));
  if (!OneOf(frame[1], "ZOUEIT ") || frame[2] < '1' || frame[2] > '9' || !OneOf(frame[3], "GTN") ||
      !OneOf(frame[4], "M ") || !IsPrintable(frame.substr(5, 1)) || !unit) {
    return std::nullopt;
  }
  const std::string_view weight = frame.substr(kWeightAt, kWeightWidth);
  if (!IsPrintable(weight)) return std::nullopt;
  return Record{frame[1], frame[3], frame[4] == 'M', *unit, weight};
}

// Statuses that withhold the weight.
struct Withheld {
  char status;
  ScaleFrame::Kind kind;
};
constexpr Withheld kWithheld[] = {{'O', ScaleFrame::Kind::kOverload},
                                  {'U', ScaleFrame::Kind::kUnderZero},
                                  {'E', ScaleFrame::Kind::kBusy},
                                  {'I', ScaleFrame::Kind::kBusy},
                                  {'T', ScaleFrame::Kind::kBusy}};

// LF "?" CR (not understood) or LF "!" CR (received garbled): the command is not carried out.
// Only as a command's answer: as a frame it says nothing (other scales answer "?" too, and
// detection must not take it for this protocol).
bool IsRefusal(std::string_view frame) { return frame == "\n?\r" || frame == "\n!\r"; }

ScaleFrame Decode(std::string_view frame) {
  if (IsRefusal(frame)) return FrameOf(ScaleFrame::Kind::kNoWeight);
  const std::optional<Record> record = Parse(frame);
  if (!record) return FrameOf(ScaleFrame::Kind::kInvalid);
  for (const Withheld& withheld : kWithheld) {
    if (record->status == withheld.status) return FrameOf(withheld.kind);
  }
  // A tare record holds no weight.
  if (record->mode == 'T') return FrameOf(ScaleFrame::Kind::kInvalid);
  std::optional<std::string> value =
      NormalisedNumber(record->weight, NumberRules{SignPlace::kAfterBlanks, true});
  if (!value) return FrameOf(ScaleFrame::Kind::kInvalid);
  ScaleFrame result = FrameOf(ScaleFrame::Kind::kWeight);
  result.value = std::move(*value);
  result.stable = !record->motion;
  result.net = record->mode == 'N';
  result.unit = record->unit;
  return result;
}

// A command is answered with a plain record; its status tells whether the command failed.
ScaleFrame::Kind Reply(ScaleCommand command, std::string_view frame) {
  if (IsRefusal(frame)) return ScaleFrame::Kind::kRefused;
  const std::optional<Record> record = Parse(frame);
  if (!record) return ScaleFrame::Kind::kInvalid;
  const char failed = command == ScaleCommand::kZero ? 'E' : 'T';
  return record->status == failed ? ScaleFrame::Kind::kRefused : ScaleFrame::Kind::kAcknowledged;
}

}  // namespace

const Protocol& Sma() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "sma";
    p.name = "SMA";
    p.line = LineFormat{9600, 8, 'N', 1};
    p.request = "\nW\r";
    p.poll_ms = 200;
    // The SMA manuals name no wait before a zero or tare answer: the default 2 s.
    p.answer_ms = 2000;
    p.motion_flag = true;
    p.split = Split;
    p.decode = Decode;
    p.zero = "\nZ\r";
    p.tare = "\nT\r";
    p.reply = Reply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
