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
  std::optional<std::uint32_t> baud;       // "baud=N"
  std::optional<LineFormat> framing;       // "framing=7E1": data bits, parity, stop bits only
  std::optional<std::uint32_t> poll_ms;    // "poll_ms=N", polled protocols
  std::optional<std::uint32_t> stable_ms;  // "stable_ms=N", protocols without a motion flag
  bool has_options = false;                // the name carried a "?"

  // The line to open with: the protocol's own, with the options' speed and framing.
  LineFormat Line() const;
  // The poll interval: the option, else the protocol's.
  std::uint32_t PollMs() const;
};

// Parses "NAME" or "NAME?key=value&...". Without options the protocol is the default one. On
// a bad option returns nothing and sets `error` to a message naming the option, e.g.
// "port option 'baud' takes a speed such as 9600, not 'fast'".
std::optional<NamedPort> ParseNamedPort(std::string_view text, std::string& error);

// "9600 7E1".
std::string LineText(const LineFormat& line);

}  // namespace qel
