// The driver's own frames: "=" and a 7-character field holding the weight backwards
// ("=432.100" is 1.234), sent without pause at 9600 8N1. Decoded by the driver's frame rules
// (weight_decoding.h), so a reading is the same whichever path reads it.
#include "../weight_decoding.h"
#include "frame_text.h"
#include "rows.h"

namespace qel::protocols {

namespace {

constexpr char kFrameStart = '=';

// "=" and the 7 characters after it; a new "=" inside those drops the frame it interrupts.
std::size_t Split(std::string_view buffer, std::string_view& frame) {
  if (buffer.empty()) return 0;
  if (buffer[0] != kFrameStart) {
    const std::size_t next = buffer.find(kFrameStart);
    return next == std::string_view::npos ? buffer.size() : next;
  }
  const std::size_t length = 1 + kWeightFieldLength;
  const std::size_t restart = buffer.substr(0, length).find(kFrameStart, 1);
  if (restart != std::string_view::npos) return restart;
  if (buffer.size() < length) return 0;
  frame = buffer.substr(0, length);
  return length;
}

ScaleFrame Decode(std::string_view frame) {
  static const NumberFormat kPoint{".", true};
  if (frame.size() != 1 + kWeightFieldLength || frame[0] != kFrameStart) {
    return FrameOf(ScaleFrame::Kind::kInvalid);
  }
  DecodedWeight decoded = DecodeWeight(ExtractWeightField(frame), kPoint);
  if (!decoded.ok) return FrameOf(ScaleFrame::Kind::kInvalid);
  ScaleFrame result = FrameOf(ScaleFrame::Kind::kWeight);
  result.value = std::move(decoded.value);
  return result;
}

}  // namespace

const Protocol& Qel() {
  static const Protocol row = [] {
    Protocol p;
    p.id = "qel";
    p.name = "Qel_weigher frames";
    // As the driver has always opened the port: DTR and RTS held off.
    p.line = LineFormat{9600, 8, 'N', 1, false, false};
    p.split = Split;
    p.decode = Decode;
    p.reply = NoReply;
    return p;
  }();
  return row;
}

}  // namespace qel::protocols
