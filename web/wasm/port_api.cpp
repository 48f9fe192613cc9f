// A serial port as the JavaScript package reads it (WebSerial): the port's options parsed by
// the core, the profile they give (line, poll interval, answer window, commands) and, for
// "protocol=auto", the core's own search driven step by step, since a browser's port cannot
// be read with a timeout the way SerialApi is.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "detection.h"
#include "json_text.h"
#include "named_port.h"
#include "protocol.h"
#include "reading.h"

namespace {

struct Port {
  qel::NamedPort named;
  std::optional<qel::PortProfile> profile;
  std::unique_ptr<qel::DetectionSearch> search;
  std::string output;  // the bytes or text a call hands back; valid until the next call
};

std::string g_error;

std::string JsonBytes(std::string_view bytes) {
  std::string out = "[";
  for (const char c : bytes) {
    if (out.size() > 1) out += ',';
    out += std::to_string(static_cast<unsigned char>(c));
  }
  return out + ']';
}

std::string LineJson(const qel::LineFormat& line) {
  return "{\"baud\":" + std::to_string(line.baud) +
         ",\"dataBits\":" + std::to_string(line.data_bits) + ",\"parity\":\"" + line.parity +
         "\",\"stopBits\":" + std::to_string(line.stop_bits) +
         ",\"text\":" + qelweb::JsonString(qel::LineText(line)) + '}';
}

std::string ProfileJson(const Port& port) {
  const qel::PortProfile& profile = *port.profile;
  const qel::Protocol& protocol = *profile.protocol;
  return "{\"protocol\":" + qelweb::JsonString(protocol.id) +
         ",\"line\":" + LineJson(profile.line) + ",\"request\":" + JsonBytes(protocol.request) +
         ",\"pollMs\":" + std::to_string(profile.poll_ms) +
         ",\"commandMs\":" + std::to_string(profile.command_ms) +
         ",\"stableMs\":" + std::to_string(port.named.stable_ms.value_or(500)) +
         ",\"zero\":" + JsonBytes(protocol.zero) + ",\"tare\":" + JsonBytes(protocol.tare) + '}';
}

std::uint32_t Hand(Port& port, std::string bytes) {
  port.output = std::move(bytes);
  return static_cast<std::uint32_t>(port.output.size());
}

}  // namespace

extern "C" {

// `options` as after "?" in a port's name ("protocol=auto&baud=4800"); nothing (0) when they
// do not parse, with the reason from qel_port_error().
Port* qel_port_create(const char* name, const char* options, std::uint32_t search_ms) {
  std::string error;
  std::optional<qel::NamedPort> named = qel::ParseNamedPort(std::string("port?") + options, error);
  if (!named) {
    g_error = error;
    return nullptr;
  }
  auto port = std::make_unique<Port>();
  port->named = std::move(*named);
  port->named.name = name;
  if (port->named.detect) {
    qel::DetectOptions search;
    search.limit = std::chrono::milliseconds(search_ms);
    search.lines = qel::DetectionLinesFor(port->named.baud, port->named.framing);
    port->search = std::make_unique<qel::DetectionSearch>(port->named.name, std::move(search));
  } else {
    const qel::Protocol& protocol =
        port->named.protocol != nullptr ? *port->named.protocol : qel::DefaultProtocol();
    port->profile = port->named.ProfileFor(protocol);
  }
  return port.release();
}

const char* qel_port_error() { return g_error.c_str(); }

// The profile as JSON once the protocol is known; "null" while the search goes on.
const char* qel_port_profile(Port* port) {
  port->output = port->profile ? ProfileJson(*port) : "null";
  return port->output.c_str();
}

// The line to open next as JSON; "" once the search is over.
const char* qel_port_next_line(Port* port) {
  const std::optional<qel::LineFormat> line =
      port->search ? port->search->NextLine() : std::nullopt;
  if (!line && port->search && port->search->Result().ok()) {
    const qel::DetectResult& found = port->search->Result();
    port->profile = port->named.DetectedProfile(*found.protocol, found.line);
  }
  port->output = line ? LineJson(*line) : "";
  return port->output.c_str();
}

// The port would not open at that line: `refused` when it was the line it refused (the search
// goes on), else it is not there (the search ends).
void qel_port_open_failed(Port* port, int refused, const char* message) {
  if (!port->search) return;
  port->search->OpenFailed(
      refused ? qel::ReadingError::kSetupFailed : qel::ReadingError::kPortUnavailable, message);
}

// These return how many bytes to write now; qel_port_output() points at them.
std::uint32_t qel_port_opened(Port* port) {
  return Hand(*port, port->search ? port->search->Opened() : std::string());
}

std::uint32_t qel_port_heard(Port* port, const std::uint8_t* data, std::uint32_t size) {
  if (!port->search) return Hand(*port, {});
  return Hand(*port,
              port->search->Heard(std::string_view(reinterpret_cast<const char*>(data), size)));
}

const char* qel_port_output(Port* port) { return port->output.data(); }

int qel_port_line_over(Port* port) { return !port->search || port->search->LineOver(); }

void qel_port_read_failed(Port* port, const char* message) {
  if (port->search) port->search->ReadFailed(message);
}

// How the search ended: {"error":..., "message":...}, both null on success.
const char* qel_port_search_result(Port* port) {
  if (!port->search || port->search->Result().ok()) {
    port->output = "{\"error\":null,\"message\":null}";
  } else {
    const qel::DetectResult& result = port->search->Result();
    port->output = "{\"error\":" + qelweb::JsonString(qel::ReadingErrorName(result.error)) +
                   ",\"message\":" + qelweb::JsonString(result.message) + '}';
  }
  return port->output.c_str();
}

void qel_port_free(Port* port) { delete port; }

}  // extern "C"
