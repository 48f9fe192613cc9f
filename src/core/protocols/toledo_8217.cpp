// Polled scale at 9600 7E1: "W" asks for the weight, "Z" zeroes. A stable weight comes back
// as STX, the displayed digits, "N" when it is net, and CR; anything else as STX "?" status CR.
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

// Status byte, after its parity bit is masked off.
enum StatusBit : unsigned {
  kMotion = 0x01,
  kOverCapacity = 0x02,
  kUnderZero = 0x04,
  kOutsideCapture = 0x08,
  kCenterOfZero = 0x10,
  kNet = 0x20,
  kAlwaysSet = 0x40,
};

constexpr std::size_t kMinDigits = 4;
constexpr std::size_t kMaxDigits = 7;

std::size_t Split(std::string_view buffer, std::string_view& frame) {
  return SplitDelimited(buffer, frame, kStx, "\r");
}

// The record between STX and CR; nothing when the framing is wrong.
std::optional<std::string_view> Body(std::string_view frame) {
  if (frame.size() < 3 || frame.front() != kStx || frame.back() != '\r') return std::nullopt;
  return frame.substr(1, frame.size() - 2);
}

// The status byte of a status record.
std::optional<unsigned> Status(std::string_view body) {
  if (body.size() != 2 || body[0] != '?') return std::nullopt;
  const unsigned status = static_cast<unsigned char>(body[1]) & 0x7Fu;
  if ((status & kAlwaysSet) == 0) return std::nullopt;
  return status;
}

ScaleFrame DecodeStatus(unsigned status) {
  if ((status & kOverCapacity) != 0) return FrameOf(ScaleFrame::Kind::kOverload);
  if ((status & kUnderZero) != 0) return FrameOf(ScaleFrame::Kind::kUnderZero);
  if ((status & kMotion) != 0) {
    ScaleFrame frame = FrameOf(ScaleFrame::Kind::kMotion);
    frame.stable = false;
    frame.net = (status & kNet) != 0;
    return frame;
  }
  // Outside the zero capture range the scale cannot weigh until it is zeroed.
  if ((status & kOutsideCapture) != 0) return FrameOf(ScaleFrame::Kind::kBusy);
  // A bare status names no fault and no weight: some scales answer so while the weight they
  // showed still stands. It is no reading, so the last weight is kept.
  return FrameOf(ScaleFrame::Kind::kNoWeight);
}

ScaleFrame Decode(std::string_view frame) {
  const std::optional<std::string_view> body = Body(frame);
  if (!body) return FrameOf(ScaleFrame::Kind::kInvalid);
  if (const std::optional<unsigned> status = Status(*body)) return DecodeStatus(*status);
  std::string_view digits = *body;
  const bool net = !digits.empty() && digits.back() == 'N';
  if (net) digits.remove_suffix(1);
  if (digits.size() < kMinDigits || digits.size() > kMaxDigits) {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  std::optional<std::string> value = NormalisedNumber(digits, NumberRules{});
  if (!value) return FrameOf(ScaleFrame::Kind::kInvalid);
  ScaleFrame result = FrameOf(ScaleFrame::Kind::kWeight);
  result.value = std::move(*value);
  result.stable = true;  // the scale answers with a weight only when it is at rest
  // "N" marks a net weight; without it the manuals call the weight gross, but scales that
  // never send "N" say nothing either way, so only net is said.
  if (net) result.net = true;
  return result;
}

// Zeroing always answers with a status record: done when the scale now rests at zero.
ScaleFrame::Kind Reply(ScaleCommand command, std::string_view frame) {
  if (command != ScaleCommand::kZero) return ScaleFrame::Kind::kInvalid;
  const std::optional<std::string_view> body = Body(frame);
  const std::optional<unsigned> status = body ? Status(*body) : std::nullopt;
  if (!status) return ScaleFrame::Kind::kInvalid;
  const bool fault = (*status & (kMotion | kOverCapacity | kUnderZero)) != 0;
  return !fault && (*status & kCenterOfZero) != 0 ? ScaleFrame::Kind::kAcknowledged
                                                  : ScaleFrame::Kind::kRefused;
}

}  // namespace

const Protocol& Toledo8217() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "toledo-8217";
    p.name = "Toledo 8217 polled";
    p.line = LineFormat{9600, 7, 'E', 1};
    p.request = "W";
    p.poll_ms = 200;
    // The scale zeroes on its next A/D reading (DIVA service manual p.39): the default 2 s
    // answer window is ample.
    p.answer_ms = 2000;
    p.motion_flag = true;
    p.split = Split;
    p.decode = Decode;
    p.zero = "Z";
    p.reply = Reply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
