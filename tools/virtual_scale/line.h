// The serial line between the scale and whoever reads it: the line's settings as people write
// them, and what a receiver set to one line makes of characters sent at another.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace vscale {

using qel::LineFormat;

// "9600" among the speeds a scale line uses; no value for any other text.
std::optional<std::uint32_t> ParseBaud(std::string_view text);
// "7E1" among the framings a scale line uses: sets data bits, parity and stop bits of `line`.
bool ParseFraming(std::string_view text, LineFormat& line);
// "9600,7E1".
bool ParseLine(std::string_view text, LineFormat& line);
// "9600 7E1".
std::string LineText(const LineFormat& line);
// Speed, data bits, parity and stop bits agree (the modem lines play no part).
bool SameLine(const LineFormat& a, const LineFormat& b);
// Start bit, data bits, parity bit and stop bits of one character.
unsigned BitsPerChar(const LineFormat& line);

// One direction of the line: a sender's characters as a receiver set to its own line reads
// them, at any two speeds (a line at speed 0 carries nothing). The bits go out at the sender's
// speed and the receiver samples each in its middle at its own speed, as a UART does, so a wrong
// speed gives deterministic garbage, 7 data bits read as 8 show the parity bit in bit 7, and a
// character whose parity or stop bit is wrong is read as 0x00 when the receiver checks parity
// (Linux with INPCK and neither PARMRK nor IGNPAR).
class LineChannel {
 public:
  LineChannel() = default;
  LineChannel(const LineFormat& sender, const LineFormat& receiver);

  // What the receiver reads of `bytes` sent back to back after what was sent before.
  std::string Pass(std::string_view bytes);
  // The line rests: a character the receiver was still sampling ends on the idle level.
  std::string Idle();

 private:
  bool Carries() const;
  void AppendChar(unsigned char byte);
  std::string Receive();
  std::size_t SampleAt(std::size_t start, unsigned index) const;
  bool FallingEdgeAt(std::size_t index) const;

  LineFormat sender_;
  LineFormat receiver_;
  bool same_ = true;
  std::vector<std::uint8_t> bits_;  // line levels, one per sender bit, not yet all sampled
  std::uint8_t level_before_ = 1;   // the level just before bits_[0]: idle
};

}  // namespace vscale
