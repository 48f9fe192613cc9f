#include "named_port.h"

#include <algorithm>
#include <cctype>

namespace qel {

namespace {

constexpr std::uint32_t kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr std::string_view kFramings[] = {"7E1", "7O1", "8N1", "7E2", "8N2", "8E1", "8O1", "7N2"};
// A Windows path in the system's raw namespace ("\\?\COM12"): its "?" is no separator.
constexpr std::string_view kRawNamespace = "\\\\?\\";

// The one place the messages about a bad option are worded.
std::string BadValue(std::string_view option, std::string_view expected, std::string_view value) {
  return "port option '" + std::string(option) + "' takes " + std::string(expected) + ", not '" +
         std::string(value) + "'";
}

std::string ProtocolChoices() {
  std::string text = "a protocol (";
  for (const Protocol* protocol : Protocols()) text += std::string(protocol->id) + ", ";
  return text + "or auto)";
}

std::optional<std::uint32_t> Number(std::string_view text, std::uint32_t low, std::uint32_t high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint32_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (number < low || number > high) return std::nullopt;
  return number;
}

// Each option's parser: false when the value is not one the option takes.
bool SetProtocol(NamedPort& port, std::string_view value) {
  if (value == "auto") {
    port.protocol = nullptr;
    port.detect = true;
    return true;
  }
  port.protocol = FindProtocol(value);
  return port.protocol != nullptr;
}

bool SetBaud(NamedPort& port, std::string_view value) {
  const std::optional<std::uint32_t> baud = Number(value, 1, 115200);
  if (!baud || std::find(std::begin(kBauds), std::end(kBauds), *baud) == std::end(kBauds)) {
    return false;
  }
  port.baud = baud;
  return true;
}

bool SetFraming(NamedPort& port, std::string_view value) {
  std::string upper(value);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (std::find(std::begin(kFramings), std::end(kFramings), upper) == std::end(kFramings)) {
    return false;
  }
  LineFormat framing;
  framing.data_bits = static_cast<std::uint8_t>(upper[0] - '0');
  framing.parity = upper[1];
  framing.stop_bits = static_cast<std::uint8_t>(upper[2] - '0');
  port.framing = framing;
  return true;
}

bool SetPollMs(NamedPort& port, std::string_view value) {
  port.poll_ms = Number(value, 10, 60000);
  return port.poll_ms.has_value();
}

bool SetStableMs(NamedPort& port, std::string_view value) {
  port.stable_ms = Number(value, 0, 60000);
  return port.stable_ms.has_value();
}

bool SetCommandMs(NamedPort& port, std::string_view value) {
  port.command_ms = Number(value, 100, 60000);
  return port.command_ms.has_value();
}

struct Option {
  std::string_view name;
  bool (*set)(NamedPort&, std::string_view);
  std::string_view expected;  // what BadValue says it takes; "" for the protocol list
};

constexpr Option kOptions[] = {
    {"protocol", SetProtocol, ""},
    {"baud", SetBaud, "a speed such as 9600 (1200 to 115200)"},
    {"framing", SetFraming, "data bits, parity and stop bits such as 8N1 or 7E1"},
    {"poll_ms", SetPollMs, "milliseconds from 10 to 60000"},
    {"stable_ms", SetStableMs, "milliseconds from 0 to 60000"},
    {"command_ms", SetCommandMs, "milliseconds from 100 to 60000"},
};

std::string UnknownOption(std::string_view name) {
  std::string known;
  for (const Option& option : kOptions)
    known += (known.empty() ? "" : ", ") + std::string(option.name);
  return "unknown port option '" + std::string(name) + "' (known: " + known + ")";
}

// Applies one "key=value"; the error message when it is bad.
std::optional<std::string> Apply(NamedPort& port, std::string_view item, unsigned& seen) {
  const std::size_t equals = item.find('=');
  const std::string_view key = item.substr(0, equals);
  const std::string_view value =
      equals == std::string_view::npos ? std::string_view{} : item.substr(equals + 1);
  if (key.empty()) return "port option without a name in '" + std::string(item) + "'";
  for (std::size_t i = 0; i < std::size(kOptions); ++i) {
    const Option& option = kOptions[i];
    if (option.name != key) continue;
    if ((seen & (1u << i)) != 0) return "port option '" + std::string(key) + "' is given twice";
    seen |= 1u << i;
    if (value.empty()) return "port option '" + std::string(key) + "' needs a value";
    if (option.set(port, value)) return std::nullopt;
    return BadValue(key, option.expected.empty() ? ProtocolChoices() : std::string(option.expected),
                    value);
  }
  return UnknownOption(key);
}

// Where the options start: the first "?" that is not the raw namespace's.
std::size_t OptionsSeparator(std::string_view text) {
  const std::size_t from =
      text.substr(0, kRawNamespace.size()) == kRawNamespace ? kRawNamespace.size() : 0;
  return text.find('?', from);
}

}  // namespace

std::optional<NamedPort> ParseNamedPort(std::string_view text, std::string& error) {
  const std::size_t separator = OptionsSeparator(text);
  NamedPort port;
  port.name = std::string(text.substr(0, separator));
  port.protocol = &DefaultProtocol();
  if (port.name.empty()) {
    error = "the port name is empty";
    return std::nullopt;
  }
  if (separator == std::string_view::npos) return port;
  port.has_options = true;
  std::string_view options = text.substr(separator + 1);
  unsigned seen = 0;
  while (!options.empty()) {
    const std::size_t amp = options.find('&');
    const std::string_view item = options.substr(0, amp);
    if (std::optional<std::string> failure = Apply(port, item, seen)) {
      error = std::move(*failure);
      return std::nullopt;
    }
    options = amp == std::string_view::npos ? std::string_view{} : options.substr(amp + 1);
  }
  return port;
}

LineFormat NamedPort::Line() const {
  LineFormat line = (protocol != nullptr ? *protocol : DefaultProtocol()).line;
  if (baud) line.baud = *baud;
  if (framing) {
    line.data_bits = framing->data_bits;
    line.parity = framing->parity;
    line.stop_bits = framing->stop_bits;
  }
  return line;
}

PortProfile NamedPort::ProfileFor(const Protocol& chosen) const {
  NamedPort as_named = *this;
  as_named.protocol = &chosen;
  return DetectedProfile(chosen, as_named.Line());
}

PortProfile NamedPort::DetectedProfile(const Protocol& found, const LineFormat& line) const {
  PortProfile profile;
  profile.protocol = &found;
  profile.line = line;
  profile.poll_ms = poll_ms.value_or(found.poll_ms);
  profile.command_ms = command_ms.value_or(found.answer_ms);
  return profile;
}

std::string LineText(const LineFormat& line) {
  return std::to_string(line.baud) + ' ' + std::to_string(line.data_bits) + line.parity +
         std::to_string(line.stop_bits);
}

}  // namespace qel
