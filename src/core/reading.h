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
};

// "no-reading", "port-unavailable", "setup-failed", "read-failed"; "" for kNone.
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

  // Same value, stability and error: a subscriber sees no change.
  bool SameStateAs(const Reading& other) const {
    return ok == other.ok && value == other.value && text == other.text && stable == other.stable &&
           error == other.error && message == other.message;
  }
};

}  // namespace qel
