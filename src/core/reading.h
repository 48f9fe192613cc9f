// One weight reading as the stream engine and the on-demand reader hand it on: the decoded
// value, the driver's weight text, stability and the error state.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qel {

enum class ReadingError : std::uint8_t {
  kNone,
  kNoReading,        // the port answered but no valid frame arrived
  kPortUnavailable,  // the open failed (absent, busy, not a serial device)
  kSetupFailed,      // line settings or timeouts refused
  kReadFailed,       // a read failed (the device vanished)
  kOverload,         // the scale said it is over capacity
  kUnderZero,        // the scale said it is under zero
  kScaleBusy,        // the scale said it cannot answer now
};

// "no-reading", "port-unavailable", "setup-failed", "read-failed", "overload",
// "under-zero", "scale-busy"; "" for kNone.
std::string_view ReadingErrorName(ReadingError error);

struct Reading {
  std::string port;
  bool ok = false;
  // With a reading: the weight with three decimals and "." ("1.234"), whatever the locale.
  std::string value;
  // The driver's weight text in the service's locale; "0" when there is no reading.
  std::string text = "0";
  // Stream ports only: whether every frame for the stability time carried this value.
  std::optional<bool> stable;
  ReadingError error = ReadingError::kNoReading;
  // The driver's message for this outcome, if it showed one.
  std::optional<std::string> message;
  std::chrono::system_clock::time_point at{};
  // Ports read with a protocol (the driver's own frames leave these empty): the protocol's
  // id, the unit ("kg", "g", "lb", "oz"), whether the value is net, and the tare, each empty
  // when the scale did not say.
  std::string protocol;
  std::string unit;
  std::optional<bool> net;
  std::string tare;

  // Same value, stability and error: a subscriber sees no change.
  bool SameStateAs(const Reading& other) const {
    return ok == other.ok && value == other.value && text == other.text && stable == other.stable &&
           error == other.error && message == other.message && protocol == other.protocol &&
           unit == other.unit && net == other.net && tare == other.tare;
  }
};

}  // namespace qel
