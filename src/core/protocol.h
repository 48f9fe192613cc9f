// A scale protocol: the line a scale of its kind speaks by default, how its output is cut
// into frames and what a frame says, the request a polled scale answers, and the zero and
// tare commands where the protocol has them. Each protocol is one file under protocols/ and
// one row of Protocols(); nothing outside that file knows its bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

// The unit a scale names; a weight is always handed on in the unit the scale sent it in.
enum class WeightUnit : std::uint8_t { kNone, kKg, kG, kLb, kOz, kMg, kT, kCt };

// "kg", "g", "lb", "oz", "mg", "t" (tonne), "ct" (metric carat); "" for kNone.
constexpr std::string_view WeightUnitName(WeightUnit unit) {
  switch (unit) {
    case WeightUnit::kKg:
      return "kg";
    case WeightUnit::kG:
      return "g";
    case WeightUnit::kLb:
      return "lb";
    case WeightUnit::kOz:
      return "oz";
    case WeightUnit::kMg:
      return "mg";
    case WeightUnit::kT:
      return "t";
    case WeightUnit::kCt:
      return "ct";
    case WeightUnit::kNone:
      break;
  }
  return "";
}

// Speed and character framing of a serial line, as people write it ("9600 7E1").
struct LineFormat {
  std::uint32_t baud = 9600;
  std::uint8_t data_bits = 8;  // 7 or 8
  char parity = 'N';           // 'N', 'E' or 'O'
  std::uint8_t stop_bits = 1;  // 1 or 2
  bool dtr = true;             // held raised while the port is open
  bool rts = true;
  bool operator==(const LineFormat& other) const {
    return baud == other.baud && data_bits == other.data_bits && parity == other.parity &&
           stop_bits == other.stop_bits && dtr == other.dtr && rts == other.rts;
  }
  bool operator!=(const LineFormat& other) const { return !(*this == other); }
};

// What one frame says.
struct ScaleFrame {
  enum class Kind : std::uint8_t {
    kInvalid,       // not a frame of this protocol (noise, cut, wrong line): no reading
    kWeight,        // a weight: `value` is set
    kMotion,        // the scale withholds the weight while it moves
    kOverload,      // over capacity
    kUnderZero,     // under zero
    kBusy,          // the scale cannot answer now
    kAcknowledged,  // a command was carried out
    kRefused,       // a command was refused
    // A frame of the protocol with no weight and no fault (a bare status, a command's plain
    // answer): the reading found before stands, for as long as a port may go without one.
    kNoWeight,
  };
  Kind kind = Kind::kInvalid;
  // kWeight: the weight in the scale's own resolution, "." as the decimal point, "-" for a
  // negative one, no "+" and no leading zeros ("0.250", "-1.5", "12").
  std::string value;
  // The scale's own motion flag: true when it reports no motion. Nothing when the protocol
  // has no such flag (stability is then the time rule).
  std::optional<bool> stable;
  WeightUnit unit = WeightUnit::kNone;
  std::optional<bool> net;  // whether `value` is net weight; nothing when not said
  std::string tare;         // same syntax as `value`; "" when not said
};

enum class ScaleCommand : std::uint8_t { kZero, kTare };

// "zero", "tare".
std::string_view ScaleCommandName(ScaleCommand command);

struct Protocol {
  std::string_view id;    // as given in "protocol=ID"
  std::string_view name;  // for people
  LineFormat line;        // the protocol's usual line settings
  // Polled protocols: the request sent every `poll_ms`; empty for a continuous protocol.
  std::string_view request;
  std::uint32_t poll_ms = 0;
  // How long the scale may take to answer zero or tare: long enough for its own wait for a
  // stable weight before it acts.
  std::uint32_t answer_ms = 2000;
  // Whether frames carry the scale's own motion flag.
  bool motion_flag = false;
  // Finds the next frame at the start of `buffer`: returns how many bytes it consumed (0
  // while more bytes are needed) and sets `frame` (a view into `buffer`) when those bytes
  // completed a frame. Bytes that cannot start a frame are consumed without one.
  std::size_t (*split)(std::string_view buffer, std::string_view& frame) = nullptr;
  ScaleFrame (*decode)(std::string_view frame) = nullptr;
  // The command bytes; empty when the protocol has no such command.
  std::string_view zero;
  std::string_view tare;
  // How the scale answers `command`: kAcknowledged, kRefused or kBusy; kInvalid for a frame
  // that is no answer to it (a weight frame in a continuous stream, for instance).
  ScaleFrame::Kind (*reply)(ScaleCommand command, std::string_view frame) = nullptr;

  bool polled() const { return !request.empty(); }
  std::string_view command(ScaleCommand c) const { return c == ScaleCommand::kZero ? zero : tare; }
};

// Every protocol, the default (the driver's own) first.
const std::vector<const Protocol*>& Protocols();
const Protocol& DefaultProtocol();
// Nothing when no protocol has that id.
const Protocol* FindProtocol(std::string_view id);

}  // namespace qel
