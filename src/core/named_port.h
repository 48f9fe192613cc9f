// A port as people name it with options: "COM3?protocol=toledo-8217&baud=9600&framing=7E1".
// The name before "?" is the port; the options pick the protocol and override its line.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol.h"

namespace qel {

struct NamedPort {
  std::string name;  // the port without its options, as every place shows it
  // The protocol; nullptr with `detect` for "protocol=auto".
  const Protocol* protocol = nullptr;
  bool detect = false;
  std::optional<std::uint32_t> baud;        // "baud=N"
  std::optional<LineFormat> framing;        // "framing=7E1": data bits, parity, stop bits only
  std::optional<std::uint32_t> poll_ms;     // "poll_ms=N", polled protocols
  std::optional<std::uint32_t> stable_ms;   // "stable_ms=N", protocols without a motion flag
  std::optional<std::uint32_t> command_ms;  // "command_ms=N": the answer window of zero and tare
  bool has_options = false;                 // the name carried a "?"

  // How the port is spoken to in `protocol` (the named one, or the one detection found),
  // with these options over the protocol's own settings.
  struct PortProfile ProfileFor(const Protocol& protocol) const;
  // The same at the line detection found the scale on.
  struct PortProfile DetectedProfile(const Protocol& protocol, const LineFormat& line) const;
  // The line to open with: the protocol's own, with the options' speed and framing.
  LineFormat Line() const;
};

// Everything that follows from a port's protocol once it is known: one value, filled whole by
// the options or by detection, so no setting can lag behind the protocol it belongs to.
struct PortProfile {
  const Protocol* protocol = nullptr;
  LineFormat line;
  std::uint32_t poll_ms = 0;     // polled protocols: the interval between requests
  std::uint32_t command_ms = 0;  // how long zero or tare may wait for the scale's answer
};

// Parses "NAME" or "NAME?key=value&...". Without options the protocol is the default one. On
// a bad option returns nothing and sets `error` to a message naming the option, e.g.
// "port option 'baud' takes a speed such as 9600, not 'fast'".
std::optional<NamedPort> ParseNamedPort(std::string_view text, std::string& error);

// "9600 7E1".
std::string LineText(const LineFormat& line);

}  // namespace qel
