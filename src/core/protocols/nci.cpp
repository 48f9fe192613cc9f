// Polled scale at 9600 7E1 (NCI, also called the Weigh-Tronix ECR protocol): "W" CR asks for
// the weight, "Z" CR zeroes. The answer is LF, the display's weight with its unit, CR, then
// LF, two or more status bytes, CR and ETX; a scale that cannot show a weight (over or under
// capacity, motion, a fault) may send the status part alone. A command the scale does not
// know is answered LF "?" CR ETX. Some scales put an "S" before the status bytes and write
// the unit in capitals.
#include <algorithm>
#include <cctype>

#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr char kEtx = '\x03';

// Bits of the status bytes, after the parity bit is masked off.
enum StatusBit : unsigned {
  kMotion = 0x01,            // byte 1
  kAtZero = 0x02,            // byte 1
  kRamError = 0x04,          // byte 1
  kEepromError = 0x08,       // byte 1
  kUnderCapacity = 0x01,     // byte 2
  kOverCapacity = 0x02,      // byte 2
  kRomError = 0x04,          // byte 2
  kBadCalibration = 0x08,    // byte 2
  kNet = 0x04,               // byte 3
  kInitialZeroError = 0x08,  // byte 3
  kAlwaysSet = 0x30,         // every byte
  kMore = 0x40,              // another byte follows (always clear in byte 1)
};

struct Status {
  unsigned bytes[3] = {0, 0, 0};
  std::size_t count = 0;
  bool Fault() const {
    return (bytes[0] & (kRamError | kEepromError)) != 0 ||
           (bytes[1] & (kRomError | kBadCalibration)) != 0 ||
           (count > 2 && (bytes[2] & kInitialZeroError) != 0);
  }
};

// From LF to ETX. The frame holds a second LF right after a CR; any other LF starts the
// next answer, and what came before it was cut.
std::size_t Split(std::string_view buffer, std::string_view& frame) {
  const std::size_t start = buffer.find('\n');
  if (start != 0) return start == std::string_view::npos ? buffer.size() : start;
  const std::size_t end = buffer.find(kEtx);
  const std::size_t scan = std::min(end, buffer.size());
  for (std::size_t at = 1; at < scan; ++at) {
    if (buffer[at] == '\n' && buffer[at - 1] != '\r') return at;
  }
  if (end == std::string_view::npos) {
    if (buffer.size() < kMaxFrame) return 0;
    return buffer.size();  // too long without an end: noise
  }
  if (end + 1 > kMaxFrame) return end + 1;
  frame = buffer.substr(0, end + 1);
  return frame.size();
}

// Two or more status bytes: the first never has the "more" bit, each later one has it
// exactly when another byte follows. Nothing when they break that or lack the always-set bits.
std::optional<Status> ParseStatus(std::string_view text) {
  if (!text.empty() && text[0] == 'S') text.remove_prefix(1);  // 'S' is no status byte
  if (text.size() < 2) return std::nullopt;
  Status status;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned byte = static_cast<unsigned char>(text[i]) & 0x7Fu;
    const bool more = (byte & kMore) != 0;
    const bool follows = i >= 1 && i + 1 < text.size();
    if ((byte & kAlwaysSet) != kAlwaysSet || more != follows) return std::nullopt;
    if (i < 3) status.bytes[i] = byte;
  }
  status.count = text.size();
  return status;
}

// The unit at the end of the weight line, in either case ("lb", "KG"); its length or 0.
std::size_t UnitLength(std::string_view line, WeightUnit& unit) {
  std::size_t letters = 0;
  while (letters < line.size() &&
         std::isalpha(static_cast<unsigned char>(line[line.size() - 1 - letters])) != 0) {
    ++letters;
  }
  std::string name(line.substr(line.size() - letters));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::optional<WeightUnit> known = letters > 0 ? UnitFromText(name) : std::nullopt;
  if (!known) return 0;
  unit = *known;
  return letters;
}

// What the status says when it withholds or spoils the weight; kWeight when it does not.
ScaleFrame::Kind StatusKind(const Status& status) {
  if ((status.bytes[1] & kOverCapacity) != 0) return ScaleFrame::Kind::kOverload;
  if ((status.bytes[1] & kUnderCapacity) != 0) return ScaleFrame::Kind::kUnderZero;
  if (status.Fault()) return ScaleFrame::Kind::kBusy;
  if ((status.bytes[0] & kMotion) != 0) return ScaleFrame::Kind::kMotion;
  return ScaleFrame::Kind::kWeight;
}

// What a display full of bars says: carets over capacity, underscores under capacity,
// dashes a zero error. kWeight for a field that is no such fill.
ScaleFrame::Kind Bars(std::string_view field) {
  const std::size_t shown = field.find_first_not_of(' ');
  if (shown == std::string_view::npos) return ScaleFrame::Kind::kInvalid;
  const std::string_view bars = field.substr(shown);
  if (bars.find_first_not_of('^') == std::string_view::npos) return ScaleFrame::Kind::kOverload;
  if (bars.find_first_not_of('_') == std::string_view::npos) return ScaleFrame::Kind::kUnderZero;
  if (bars.find_first_not_of("- ") == std::string_view::npos) return ScaleFrame::Kind::kBusy;
  return ScaleFrame::Kind::kWeight;
}

// The weight line: the display's characters (blanks, a minus sign, digits, a point) and the
// unit, read together with the status that follows it.
ScaleFrame WeightLine(std::string_view line, const Status& status) {
  WeightUnit unit = WeightUnit::kNone;
  const std::size_t letters = UnitLength(line, unit);
  const std::string_view field = line.substr(0, line.size() - letters);
  if (letters == 0 || field.empty() || !IsPrintable(field)) {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  const ScaleFrame::Kind bars = Bars(field);
  if (bars != ScaleFrame::Kind::kWeight) return FrameOf(bars);
  std::optional<std::string> value =
      NormalisedNumber(field, NumberRules{SignPlace::kAfterBlanks, true});
  if (!value) return FrameOf(ScaleFrame::Kind::kInvalid);
  const ScaleFrame::Kind kind = StatusKind(status);
  if (kind != ScaleFrame::Kind::kWeight && kind != ScaleFrame::Kind::kMotion) return FrameOf(kind);
  ScaleFrame result = FrameOf(ScaleFrame::Kind::kWeight);
  result.value = std::move(*value);
  result.unit = unit;
  result.stable = kind != ScaleFrame::Kind::kMotion;
  if (status.count > 2) result.net = (status.bytes[2] & kNet) != 0;
  return result;
}

struct Answer {
  std::string_view weight;  // "" for a status alone
  std::string_view status;
};

// LF [weight CR LF] status CR ETX; nothing when the framing is wrong.
std::optional<Answer> Parse(std::string_view frame) {
  if (frame.size() < 4 || frame.front() != '\n' || frame.substr(frame.size() - 2) != "\r\x03") {
    return std::nullopt;
  }
  const std::string_view body = frame.substr(1, frame.size() - 3);
  const std::size_t cut = body.find("\r\n");
  if (cut == std::string_view::npos) return Answer{{}, body};
  if (body.find('\n', cut + 2) != std::string_view::npos || cut == 0) return std::nullopt;
  return Answer{body.substr(0, cut), body.substr(cut + 2)};
}

ScaleFrame Decode(std::string_view frame) {
  if (frame == "\n?\r\x03") return FrameOf(ScaleFrame::Kind::kRefused);
  const std::optional<Answer> answer = Parse(frame);
  const std::optional<Status> status = answer ? ParseStatus(answer->status) : std::nullopt;
  if (!status) return FrameOf(ScaleFrame::Kind::kInvalid);
  if (!answer->weight.empty()) return WeightLine(answer->weight, *status);
  const ScaleFrame::Kind kind = StatusKind(*status);
  if (kind == ScaleFrame::Kind::kMotion) {
    ScaleFrame motion = FrameOf(kind);
    motion.stable = false;
    return motion;
  }
  // A status without fault or motion carries no weight: no reading (the weight stands).
  return FrameOf(kind == ScaleFrame::Kind::kWeight ? ScaleFrame::Kind::kNoWeight : kind);
}

// Zero is answered with the status: done when the scale now rests at zero. A scale outside
// its zero range or in motion ignores the command and answers without the at-zero bit.
ScaleFrame::Kind Reply(ScaleCommand command, std::string_view frame) {
  if (command != ScaleCommand::kZero) return ScaleFrame::Kind::kInvalid;
  if (frame == "\n?\r\x03") return ScaleFrame::Kind::kRefused;
  const std::optional<Answer> answer = Parse(frame);
  const std::optional<Status> status = answer ? ParseStatus(answer->status) : std::nullopt;
  if (!status || !answer->weight.empty()) return ScaleFrame::Kind::kInvalid;
  const bool done =
      StatusKind(*status) == ScaleFrame::Kind::kWeight && (status->bytes[0] & kAtZero) != 0;
  return done ? ScaleFrame::Kind::kAcknowledged : ScaleFrame::Kind::kRefused;
}

}  // namespace

const Protocol& Nci() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "nci";
    p.name = "NCI (Weigh-Tronix ECR)";
    p.line = LineFormat{9600, 7, 'E', 1};
    p.request = "W\r";
    p.poll_ms = 200;
    // "Z" is answered with the status at once; a scale in motion ignores it and says so
    // (DIVA service manual p.35): the default 2 s.
    p.answer_ms = 2000;
    p.motion_flag = true;
    p.split = Split;
    p.decode = Decode;
    p.zero = "Z\r";
    p.reply = Reply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
