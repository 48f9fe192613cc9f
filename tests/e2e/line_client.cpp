#include "line_client.h"

#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "module_api.h"
#include "serial_posix.h"

namespace qel::e2e {
namespace {

SerialApi& Serial() { return posix::PosixSerialApi(); }

}  // namespace

LineFormat MakeLine(std::uint32_t baud, const char* framing) {
  LineFormat line;
  line.baud = baud;
  line.data_bits = static_cast<std::uint8_t>(framing[0] - '0');
  line.parity = framing[1];
  line.stop_bits = static_cast<std::uint8_t>(framing[2] - '0');
  return line;
}

LineClient::LineClient(const std::string& port, const LineFormat& line) {
  const OpenOutcome opened = Serial().Open(port + ":");
  if (opened.handle == kInvalidPortHandle) return;
  handle_ = opened.handle;
  // Never wait inside the back end: the reads here poll with their own deadlines.
  CommTimeouts timeouts;
  timeouts.ReadIntervalTimeout = std::numeric_limits<std::uint32_t>::max();
  ok_ = Serial().SetTimeouts(handle_, timeouts).ok && SetLine(line);
}

LineClient::~LineClient() {
  if (handle_ != kInvalidPortHandle) Serial().Close(handle_);
}

bool LineClient::SetLine(const LineFormat& line) {
  LineSettings settings = ModuleAPI::MakeLineSettings(static_cast<std::int32_t>(line.baud));
  settings.ByteSize = line.data_bits;
  settings.Parity = line.parity == 'O' ? 1 : (line.parity == 'E' ? 2 : 0);
  settings.StopBits = line.stop_bits == 2 ? 2 : 0;
  return Serial().SetState(handle_, settings).ok;
}

bool LineClient::Send(std::string_view bytes) {
  return Serial()
      .Write(handle_, reinterpret_cast<const std::uint8_t*>(bytes.data()),
             static_cast<std::uint32_t>(bytes.size()))
      .ok;
}

std::string LineClient::ReadAvailable() {
  std::uint8_t buffer[512];
  const ReadOutcome got = Serial().Read(handle_, buffer, sizeof buffer);
  return std::string(reinterpret_cast<const char*>(buffer), got.bytes_read);
}

std::string LineClient::ReadUntil(std::string_view expected, int timeout_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string text;
  while (std::chrono::steady_clock::now() < until) {
    text += ReadAvailable();
    if (!expected.empty() && text.find(expected) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return text;
}

std::string LineClient::ReadFor(int ms) { return ReadUntil("", ms); }

std::string LineClient::Ask(std::string_view request, std::string_view until, int timeout_ms) {
  while (!ReadAvailable().empty()) {
  }
  if (!Send(request)) return "send failed";
  return ReadUntil(until, timeout_ms);
}

}  // namespace qel::e2e
