// Continuous output at 9600 7E1: STX, status words A, B and C, six weight digits, six tare
// digits (none in the short layout), CR, and on scales set up for it a checksum byte. The
// digits carry no point and no sign; status word A places the point, B gives the sign,
// range, motion and unit.
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr std::size_t kBody = 16;       // STX .. last tare digit
constexpr std::size_t kShortBody = 10;  // STX .. last weight digit: no tare
constexpr std::size_t kDigits = 6;
constexpr unsigned kAlwaysSet = 0x20;  // in status words A and C; B leaves it clear on some
// Status word C bit 4: set by some scales for an expanded (ten times finer) display. No
// manual at hand says where the point then goes, so such a record is refused.
constexpr unsigned kSwcExpanded = 0x10;

enum StatusB : unsigned {
  kNet = 0x01,
  kNegative = 0x02,
  kOutOfRange = 0x04,
  kMotion = 0x08,
  kKilograms = 0x10,
};

unsigned Byte(std::string_view text, std::size_t at) {
  return static_cast<unsigned char>(text[at]);
}

bool ChecksumOk(std::string_view frame) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < frame.size(); ++i) sum += Byte(frame, i);
  return (sum & 0x7Fu) == 0;
}

// The checksum of a frame `record` (STX .. CR).
char ChecksumFor(std::string_view record) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < record.size(); ++i) sum += Byte(record, i);
  return static_cast<char>((0x80u - (sum & 0x7Fu)) & 0x7Fu);
}

// A record ends at CR; the byte after it is its checksum unless it starts the next record.
// A checksum that happens to equal STX is told apart by the STX after it, since no record
// has STX in its second byte.
std::size_t Split(std::string_view buffer, std::string_view& frame) {
  std::string_view record;
  const std::size_t used = SplitDelimited(buffer, record, kStx, "\r");
  if (record.empty()) return used;
  if (buffer.size() <= used) return 0;  // the next byte decides
  if (buffer[used] != kStx) {
    frame = buffer.substr(0, used + 1);
    return frame.size();
  }
  if (ChecksumFor(record) == kStx) {
    if (buffer.size() <= used + 1) return 0;
    if (buffer[used + 1] == kStx) {
      frame = buffer.substr(0, used + 1);
      return frame.size();
    }
  }
  frame = record;
  return used;
}

// Decimal places by status word A's low bits; codes 0 and 1 show fixed zeros on the right.
struct PointCode {
  unsigned decimals;
  unsigned fixed_zeros;
};
constexpr PointCode kPointCodes[8] = {{0, 2}, {0, 1}, {0, 0}, {1, 0},
                                      {2, 0}, {3, 0}, {4, 0}, {5, 0}};

std::optional<std::string> Field(std::string_view digits, PointCode code, bool negative) {
  if (digits.find_first_not_of('0', kDigits - code.fixed_zeros) != std::string_view::npos) {
    return std::nullopt;
  }
  return PlaceDecimals(digits, code.decimals, negative);
}

WeightUnit Unit(unsigned swb, unsigned swc) {
  switch (swc & 0x07u) {
    case 0:
      return (swb & kKilograms) != 0 ? WeightUnit::kKg : WeightUnit::kLb;
    case 1:
      return WeightUnit::kG;
    case 3:
      return WeightUnit::kOz;
    default:
      return WeightUnit::kNone;
  }
}

// The record's length without checksum: the full or the short layout; 0 for neither.
std::size_t BodyLength(std::string_view frame) {
  for (const std::size_t body : {kBody, kShortBody}) {
    if ((frame.size() == body + 1 || frame.size() == body + 2) && frame[body] == '\r') return body;
  }
  return 0;
}

bool FramingOk(std::string_view frame, std::size_t body) {
  if (body == 0 || frame[0] != kStx) return false;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (Byte(frame, i) > 0x7Fu) return false;  // seven data bits
  }
  if ((Byte(frame, 1) & kAlwaysSet) == 0 || (Byte(frame, 3) & kAlwaysSet) == 0) return false;
  if ((Byte(frame, 3) & kSwcExpanded) != 0) return false;
  return frame.size() == body + 1 || ChecksumOk(frame);
}

ScaleFrame Decode(std::string_view frame) {
  const std::size_t body = BodyLength(frame);
  if (!FramingOk(frame, body)) return FrameOf(ScaleFrame::Kind::kInvalid);
  const unsigned swa = Byte(frame, 1);
  const unsigned swb = Byte(frame, 2);
  const unsigned swc = Byte(frame, 3);
  const PointCode code = kPointCodes[swa & 0x07u];
  const bool negative = (swb & kNegative) != 0;
  std::optional<std::string> value = Field(frame.substr(4, kDigits), code, negative);
  std::optional<std::string> tare =
      body == kBody ? Field(frame.substr(4 + kDigits, kDigits), code, false) : std::string();
  if (!value || !tare) return FrameOf(ScaleFrame::Kind::kInvalid);
  if ((swb & kOutOfRange) != 0) {
    return FrameOf(negative ? ScaleFrame::Kind::kUnderZero : ScaleFrame::Kind::kOverload);
  }
  ScaleFrame result = FrameOf(ScaleFrame::Kind::kWeight);
  result.value = std::move(*value);
  result.tare = std::move(*tare);
  result.stable = (swb & kMotion) == 0;
  result.net = (swb & kNet) != 0;
  result.unit = Unit(swb, swc);
  return result;
}

}  // namespace

const Protocol& ToledoContinuous() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "toledo-continuous";
    p.name = "Toledo continuous output";
    p.line = LineFormat{9600, 7, 'E', 1};
    p.motion_flag = true;
    p.split = Split;
    p.decode = Decode;
    p.reply = NoReply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
