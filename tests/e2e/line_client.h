// A client of the virtual scale through the driver's termios back end, on the line it
// chooses: what a reader set to that line would read, and the requests it writes.
#pragma once

#include <string>
#include <string_view>

#include "protocol.h"
#include "services.h"

namespace qel::e2e {

// "9600 7E1" as a LineFormat.
LineFormat MakeLine(std::uint32_t baud, const char* framing);

class LineClient {
 public:
  // Opens `port` and sets `line`; ok() tells whether both worked.
  LineClient(const std::string& port, const LineFormat& line);
  ~LineClient();
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool ok() const { return ok_; }
  int fd() const { return static_cast<int>(handle_); }
  bool SetLine(const LineFormat& line);
  bool Send(std::string_view bytes);
  // Reads until `expected` has arrived (counted from this call) or `timeout_ms` passed.
  std::string ReadUntil(std::string_view expected, int timeout_ms = 3000);
  // Everything that arrives within `ms`.
  std::string ReadFor(int ms);
  // Drops what has arrived so far and sends `request`; then reads until `until` arrived.
  std::string Ask(std::string_view request, std::string_view until, int timeout_ms = 3000);

 private:
  std::string ReadAvailable();

  PortHandle handle_ = kInvalidPortHandle;
  bool ok_ = false;
};

}  // namespace qel::e2e
