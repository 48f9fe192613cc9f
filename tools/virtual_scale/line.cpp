#include "line.h"

#include <algorithm>
#include <cstdio>

namespace vscale {
namespace {

constexpr std::uint32_t kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

struct Framing {
  std::string_view text;
  std::uint8_t data_bits;
  char parity;
  std::uint8_t stop_bits;
};
constexpr Framing kFramings[] = {
    {"7E1", 7, 'E', 1}, {"7O1", 7, 'O', 1}, {"8N1", 8, 'N', 1}, {"7E2", 7, 'E', 2},
    {"8N2", 8, 'N', 2}, {"8E1", 8, 'E', 1}, {"8O1", 8, 'O', 1}, {"7N2", 7, 'N', 2},
};

unsigned Ones(unsigned value) {
  unsigned ones = 0;
  for (; value != 0; value >>= 1) ones += value & 1;
  return ones;
}

}  // namespace

std::optional<std::uint32_t> ParseBaud(std::string_view text) {
  for (const std::uint32_t baud : kBauds) {
    if (text == std::to_string(baud)) return baud;
  }
  return std::nullopt;
}

bool ParseFraming(std::string_view text, LineFormat& line) {
  for (const Framing& framing : kFramings) {
    if (text != framing.text) continue;
    line.data_bits = framing.data_bits;
    line.parity = framing.parity;
    line.stop_bits = framing.stop_bits;
    return true;
  }
  return false;
}

bool ParseLine(std::string_view text, LineFormat& line) {
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return false;
  const std::optional<std::uint32_t> baud = ParseBaud(text.substr(0, comma));
  LineFormat parsed = line;
  if (!baud || !ParseFraming(text.substr(comma + 1), parsed)) return false;
  parsed.baud = *baud;
  line = parsed;
  return true;
}

std::string LineText(const LineFormat& line) {
  char text[32];
  std::snprintf(text, sizeof text, "%u %u%c%u", static_cast<unsigned>(line.baud),
                static_cast<unsigned>(line.data_bits), line.parity,
                static_cast<unsigned>(line.stop_bits));
  return text;
}

bool SameLine(const LineFormat& a, const LineFormat& b) {
  return a.baud == b.baud && a.data_bits == b.data_bits && a.parity == b.parity &&
         a.stop_bits == b.stop_bits;
}

unsigned BitsPerChar(const LineFormat& line) {
  return 1u + line.data_bits + (line.parity == 'N' ? 0u : 1u) + line.stop_bits;
}

LineChannel::LineChannel(const LineFormat& sender, const LineFormat& receiver)
    : sender_(sender), receiver_(receiver), same_(SameLine(sender, receiver)) {}

std::string LineChannel::Pass(std::string_view bytes) {
  if (!Carries()) return {};
  if (same_) {
    // Both ends agree: the receiver reads what was sent, within its data bits.
    const unsigned mask = (1u << sender_.data_bits) - 1;
    std::string text(bytes);
    for (char& c : text) c = static_cast<char>(static_cast<unsigned char>(c) & mask);
    return text;
  }
  for (const char c : bytes) AppendChar(static_cast<unsigned char>(c));
  return Receive();
}

std::string LineChannel::Idle() {
  if (same_ || bits_.empty() || !Carries()) return {};
  // Enough idle bits for the receiver to finish the longest character it may be sampling.
  const std::size_t idle = SampleAt(0, BitsPerChar(receiver_)) + 2;
  bits_.insert(bits_.end(), idle, 1);
  std::string text = Receive();
  bits_.clear();
  level_before_ = 1;
  return text;
}

// A line at speed 0 (a client that set B0, or whose speed is unknown) carries nothing.
bool LineChannel::Carries() const { return sender_.baud != 0 && receiver_.baud != 0; }

void LineChannel::AppendChar(unsigned char byte) {
  bits_.push_back(0);  // start bit
  unsigned ones = 0;
  for (unsigned i = 0; i < sender_.data_bits; ++i) {
    const std::uint8_t bit = (byte >> i) & 1;
    ones += bit;
    bits_.push_back(bit);
  }
  if (sender_.parity != 'N') {
    const bool odd_ones = (ones & 1) != 0;
    // Even parity makes the count of ones even, odd parity makes it odd.
    bits_.push_back(static_cast<std::uint8_t>(sender_.parity == 'E' ? odd_ones : !odd_ones));
  }
  bits_.insert(bits_.end(), sender_.stop_bits, 1);
}

// The sender bit under the receiver's sample `index` (0: start bit) of a character whose start
// bit began at sender bit `start`: each sample is taken in the middle of a receiver bit.
std::size_t LineChannel::SampleAt(std::size_t start, unsigned index) const {
  const std::uint64_t offset =
      (std::uint64_t{2} * index + 1) * sender_.baud / (std::uint64_t{2} * receiver_.baud);
  return start + static_cast<std::size_t>(offset);
}

bool LineChannel::FallingEdgeAt(std::size_t index) const {
  const std::uint8_t before = index == 0 ? level_before_ : bits_[index - 1];
  return bits_[index] == 0 && before == 1;
}

std::string LineChannel::Receive() {
  const unsigned data_bits = receiver_.data_bits;
  const bool parity = receiver_.parity != 'N';
  const unsigned stop_sample = 1 + data_bits + (parity ? 1 : 0);
  std::string text;
  std::size_t pos = 0;
  for (;;) {
    std::size_t start = pos;
    while (start < bits_.size() && !FallingEdgeAt(start)) ++start;
    if (start >= bits_.size() || SampleAt(start, stop_sample) >= bits_.size()) {
      pos = std::min(start, bits_.size());  // keep a character still being sampled
      break;
    }
    if (bits_[SampleAt(start, 0)] != 0) {  // a glitch, not a start bit
      pos = start + 1;
      continue;
    }
    unsigned byte = 0;
    for (unsigned i = 0; i < data_bits; ++i) byte |= unsigned{bits_[SampleAt(start, 1 + i)]} << i;
    unsigned ones = Ones(byte);
    if (parity) ones += bits_[SampleAt(start, 1 + data_bits)];
    const bool parity_error = parity && (receiver_.parity == 'E') == ((ones & 1) != 0);
    const bool framing_error = bits_[SampleAt(start, stop_sample)] == 0;
    // Only a receiver that checks parity reports errors; it reads them as 0x00.
    text += parity && (parity_error || framing_error) ? '\0' : static_cast<char>(byte);
    pos = SampleAt(start, stop_sample) + 1;
  }
  if (pos > 0) {
    level_before_ = bits_[pos - 1];
    bits_.erase(bits_.begin(), bits_.begin() + static_cast<std::ptrdiff_t>(pos));
  }
  return text;
}

}  // namespace vscale
