// Polled scale at 9600 8N1 speaking lines that end in CR LF: "SI" asks for the weight now,
// "Z" zeroes, "T" tares. An answer starts with the command's letter and a status letter.
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr std::string_view kEnd = "\r\n";
constexpr std::size_t kValueWidth = 10;

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, '\0', kEnd);
}

// The line without its CR LF; nothing when it does not end so.
std::optional<std::string_view> Line(std::string_view frame) {
  if (frame.size() < kEnd.size() || frame.substr(frame.size() - kEnd.size()) != kEnd) {
    return std::nullopt;
  }
  return frame.substr(0, frame.size() - kEnd.size());
}

// "<prefix>" + value right-aligned in 10 + " " + unit: the weight or tare of an answer.
std::optional<ScaleFrame> ValueLine(std::string_view line, std::string_view prefix) {
  if (line.size() < prefix.size() + kValueWidth + 2 || line.substr(0, prefix.size()) != prefix) {
    return std::nullopt;
  }
  const std::string_view rest = line.substr(prefix.size() + kValueWidth);
  const std::optional<WeightUnit> unit =
      rest[0] == ' ' ? UnitFromText(rest.substr(1)) : std::nullopt;
  std::optional<std::string> value = NormalisedNumber(line.substr(prefix.size(), kValueWidth),
                                                      NumberRules{SignPlace::kAfterBlanks, true});
  if (!unit || !value) return std::nullopt;
  ScaleFrame frame;
  frame.value = std::move(*value);
  frame.unit = *unit;
  return frame;
}

// The answers without a value, "S +" and the like.
struct Short {
  std::string_view line;
  ScaleFrame::Kind kind;
};
constexpr Short kShort[] = {
    {"S +", ScaleFrame::Kind::kOverload}, {"S -", ScaleFrame::Kind::kUnderZero},
    {"S I", ScaleFrame::Kind::kBusy},     {"Z A", ScaleFrame::Kind::kAcknowledged},
    {"Z I", ScaleFrame::Kind::kRefused},  {"Z +", ScaleFrame::Kind::kRefused},
    {"Z -", ScaleFrame::Kind::kRefused},  {"T I", ScaleFrame::Kind::kRefused},
    {"T +", ScaleFrame::Kind::kRefused},  {"T -", ScaleFrame::Kind::kRefused},
};

// Errors: the command was not understood, not executable, or too long.
bool IsError(std::string_view line) { return line == "ES" || line == "ET" || line == "EL"; }

ScaleFrame Decode(std::string_view frame) {
  const std::optional<std::string_view> line = Line(frame);
  if (!line) return FrameOf(ScaleFrame::Kind::kInvalid);
  for (const Short& answer : kShort) {
    if (*line == answer.line) return FrameOf(answer.kind);
  }
  if (std::optional<ScaleFrame> weight = ValueLine(*line, "S S ")) {
    weight->kind = ScaleFrame::Kind::kWeight;
    weight->stable = true;
    return *weight;
  }
  if (std::optional<ScaleFrame> weight = ValueLine(*line, "S D ")) {
    weight->kind = ScaleFrame::Kind::kWeight;
    weight->stable = false;
    return *weight;
  }
  if (std::optional<ScaleFrame> tare = ValueLine(*line, "T S ")) {
    tare->kind = ScaleFrame::Kind::kAcknowledged;
    tare->tare = std::move(tare->value);
    tare->value.clear();
    return *tare;
  }
  return FrameOf(ScaleFrame::Kind::kInvalid);
}

ScaleFrame::Kind Reply(ScaleCommand command, std::string_view frame) {
  const std::optional<std::string_view> line = Line(frame);
  if (!line) return ScaleFrame::Kind::kInvalid;
  if (IsError(*line)) return ScaleFrame::Kind::kRefused;
  // Only an answer that names the command is one: a weight line in between is not.
  const char letter = command == ScaleCommand::kZero ? 'Z' : 'T';
  if (line->empty() || (*line)[0] != letter) return ScaleFrame::Kind::kInvalid;
  const ScaleFrame::Kind kind = Decode(frame).kind;
  return kind == ScaleFrame::Kind::kAcknowledged || kind == ScaleFrame::Kind::kRefused
             ? kind
             : ScaleFrame::Kind::kInvalid;
}

}  // namespace

const Protocol& MtSics() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "mt-sics";
    p.name = "MT-SICS";
    p.line = LineFormat{9600, 8, 'N', 1};
    p.request = "SI\r\n";
    p.poll_ms = 200;
    // Z and T wait for a stable weight before they answer: up to 3 s by the 7000 series
    // indicators' MT-SICS description (Z). A second more for the answer itself.
    p.answer_ms = 4000;
    p.motion_flag = true;
    p.split = Split;
    p.decode = Decode;
    p.zero = "Z\r\n";
    p.tare = "T\r\n";
    p.reply = Reply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
