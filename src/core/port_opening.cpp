#include "port_opening.h"

#include "messages.h"

namespace qel {

std::string_view ComDigits(std::string_view name) {
  if (name.size() < 4) return {};
  for (std::size_t i = 0; i < 3; ++i) {
    if ((name[i] & ~0x20) != "COM"[i]) return {};  // ASCII upper case
  }
  const std::string_view digits = name.substr(3);
  if (digits.front() == '0') return {};
  for (const char c : digits) {
    if (c < '0' || c > '9') return {};
  }
  return digits;
}

std::optional<unsigned> ComPortNumber(std::string_view name) {
  const std::string_view digits = ComDigits(name);
  if (digits.empty() || digits.size() > 4) return std::nullopt;
  unsigned number = 0;
  for (const char c : digits) number = number * 10 + static_cast<unsigned>(c - '0');
  return number;
}

std::string DeviceName(std::string_view name) {
  if (name.substr(0, kDeviceNamespace.size()) == kDeviceNamespace) return std::string(name);
  // Two digits or more, none leading: COM10 and above.
  if (ComDigits(name).size() >= 2) return std::string(kDeviceNamespace) + std::string(name);
  return std::string(name) + ':';
}

namespace {

PortOpening Failure(PortOpening opening, ReadingError error, std::uint32_t code,
                    std::string message) {
  opening.error = error;
  opening.code = code;
  opening.message = std::move(message);
  return opening;
}

}  // namespace

PortOpening OpenSerialPort(SerialApi& serial, std::string_view name, const PortSetup& setup) {
  const OpenOutcome opened = serial.Open(DeviceName(name));
  PortOpening opening;
  opening.handle = opened.handle;
  if (opening.handle == kInvalidPortHandle) {
    opening = Failure(opening, ReadingError::kPortUnavailable, opened.code,
                      messages::OpenFailed(name, opened.code));
    if (setup.on_failure) setup.on_failure(opening);
    return opening;
  }

  serial.Purge(opening.handle);
  const SysStatus state = serial.SetState(opening.handle, setup.line);
  try {
    opening.timeouts = setup.timeouts();
  } catch (...) {
    // The fault reaches the caller, but never with the port left held.
    serial.Close(opening.handle);
    throw;
  }
  const SysStatus timeouts = serial.SetTimeouts(opening.handle, opening.timeouts);
  if (state.ok && timeouts.ok) return opening;

  // The last failing call's code is what the system reports at this point.
  const std::uint32_t code = timeouts.ok ? state.code : timeouts.code;
  opening = Failure(opening, ReadingError::kSetupFailed, code, messages::SetupFailed(code));
  if (setup.on_failure) setup.on_failure(opening);
  serial.Close(opening.handle);
  return opening;
}

}  // namespace qel
