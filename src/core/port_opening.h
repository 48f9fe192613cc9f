// Opening a port, written once for the driver's cycle, the stream engine and the on-demand
// reader: the device name the system knows the port by, then open, purge, line settings and
// timeouts, with the failure composed as a value. The platform sees the same calls in the
// same order whoever opens.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "link_state.h"
#include "reading.h"
#include "services.h"

namespace qel {

// The prefix of the system's device namespace ("\\.\").
inline constexpr std::string_view kDeviceNamespace = "\\\\.\\";

// The digits of a "COMn" name (any case, n written without leading zeros); empty when
// `name` is no such name.
std::string_view ComDigits(std::string_view name);
// n for a "COMn" name of 1 to 4 digits; nothing otherwise.
std::optional<unsigned> ComPortNumber(std::string_view name);

// The device name handed to SerialApi::Open. The system knows "COMn:" only for COM1 to COM9;
// higher ports open by their name in the device namespace. A name the client gives in that
// form already opens as it stands.
std::string DeviceName(std::string_view name);

// How an opening ended. After a setup failure `handle` is the one the open gave, already
// closed; `message` is the text for the user, empty on success.
struct PortOpening {
  PortHandle handle = kInvalidPortHandle;
  ReadingError error = ReadingError::kNone;  // kNone, kPortUnavailable or kSetupFailed
  std::uint32_t code = 0;
  std::string message;
  CommTimeouts timeouts;  // as handed to the system

  bool ok() const { return error == ReadingError::kNone; }
  explicit operator bool() const { return ok(); }
};

struct PortSetup {
  LineSettings line;
  // Called between the line settings and the timeouts; whatever it throws reaches the caller
  // with the port closed.
  std::function<CommTimeouts()> timeouts;
  // Sees a failure while a port that failed its setup is still held, as the user always has.
  std::function<void(const PortOpening&)> on_failure;
};

// Open, purge, line settings, timeouts: the port `name` (as the client gives it) comes back
// open and configured, or closed with the failure told to `setup.on_failure` first.
PortOpening OpenSerialPort(SerialApi& serial, std::string_view name, const PortSetup& setup);

}  // namespace qel
