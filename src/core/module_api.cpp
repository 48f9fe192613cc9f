#include "module_api.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "messages.h"
#include "runtime_fault.h"

namespace qel::ModuleAPI {
namespace {

constexpr std::string_view kDeviceNamespace = "\\\\.\\";

// "COMn" with n of 10 or more, in any case, written without leading zeros.
bool IsHighComName(std::string_view name) {
  if (name.size() < 5) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((name[i] & ~0x20) != "COM"[i]) return false;
  }
  const std::string_view digits = name.substr(3);
  if (digits.front() == '0') return false;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The device name handed to CreateFileA. The system knows "COMn:" only for COM1 to COM9;
// higher ports open by their name in the device namespace. A name the client gives in that
// form already opens as it stands.
std::string DeviceName(std::string_view name) {
  if (name.substr(0, kDeviceNamespace.size()) == kDeviceNamespace) return std::string(name);
  if (IsHighComName(name)) return std::string(kDeviceNamespace) + std::string(name);
  return std::string(name) + ':';
}

}  // namespace

void ClearBuffer(LinkState& link) { std::memset(link.RxBuffer, 0x20, sizeof link.RxBuffer); }

LineSettings MakeLineSettings(std::int32_t baud) {
  LineSettings dcb;
  // sizeof(DCB), which the system asks for: 28 bytes on 32-bit and 64-bit Windows alike (the
  // record holds no pointer). A number here because the core sees no platform header.
  dcb.DCBlength = 28;
  dcb.BaudRate = static_cast<std::uint32_t>(baud);
  // Binary, parity checking flag, TX continues on XOFF; no handshake, DTR and RTS held off.
  dcb.Flags = DcbMask(kDcbBinary) | DcbMask(kDcbParity) | DcbMask(kDcbTxContinueOnXoff);
  dcb.wReserved = 0;
  dcb.XonLim = 128;
  dcb.XoffLim = 64;
  dcb.ByteSize = 8;
  dcb.Parity = 0;    // NOPARITY
  dcb.StopBits = 0;  // ONESTOPBIT
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x23;
  dcb.EofChar = 0x1A;
  dcb.EvtChar = 0;
  dcb.wReserved1 = 0;
  return dcb;
}

CommTimeouts MakeTimeouts(std::int32_t baud) {
  if (baud == 0) throw RuntimeFault("Division by zero");
  CommTimeouts timeouts;
  // Return what is waiting at once; otherwise stop after a 1 ms gap or 1 ms per byte + 1 ms.
  timeouts.ReadIntervalTimeout = 1;
  timeouts.ReadTotalTimeoutMultiplier = 1;
  timeouts.ReadTotalTimeoutConstant = 1;
  const double per_byte = std::floor(12000.0 / static_cast<double>(baud)) + 1.0;
  if (!(per_byte >= -2147483648.0 && per_byte <= 2147483647.0)) throw RuntimeFault("Overflow");
  timeouts.WriteTotalTimeoutMultiplier =
      static_cast<std::uint32_t>(static_cast<std::int32_t>(per_byte));
  timeouts.WriteTotalTimeoutConstant = 20;
  return timeouts;
}

bool OpenPort(LinkState& link, const Services& services, std::string_view name, std::int32_t baud) {
  const OpenOutcome opened = services.serial.Open(DeviceName(name));
  link.PortHandle = opened.handle;
  if (link.PortHandle == kInvalidPortHandle) {
    services.messages.Show(messages::OpenFailed(name, opened.code), kDriverCaption,
                           MessageIcon::kNone);
    return false;
  }

  services.serial.Purge(link.PortHandle);

  link.LineSettings = MakeLineSettings(baud);
  const SysStatus state = services.serial.SetState(link.PortHandle, link.LineSettings);

  try {
    link.Timeouts = MakeTimeouts(baud);
  } catch (...) {
    // The fault reaches the caller, but never with the port left held.
    services.serial.Close(link.PortHandle);
    throw;
  }
  const SysStatus timeouts = services.serial.SetTimeouts(link.PortHandle, link.Timeouts);

  if (state.ok && timeouts.ok) return true;

  // The last failing call's code is what the system reports at this point.
  const std::uint32_t code = timeouts.ok ? state.code : timeouts.code;
  services.messages.Show(messages::SetupFailed(code), kDriverCaption, MessageIcon::kNone);
  services.serial.Close(link.PortHandle);
  return false;
}

void ReadPort(LinkState& link, const Services& services) {
  // Every read lands on spaces, whoever called it: the bytes past BytesRead are blanks, never
  // what an earlier read left there.
  ClearBuffer(link);
  const ReadOutcome read = services.serial.Read(link.PortHandle, link.RxBuffer, kReadSize);
  link.BytesRead =
      static_cast<std::int32_t>(read.bytes_read > kReadSize ? kReadSize : read.bytes_read);
  if (!read.status.ok) {
    // No error state is kept by this component, so the description is always empty.
    services.messages.Show(messages::ReadFailed(read.status.code, ""), messages::kReadFailedCaption,
                           MessageIcon::kCritical);
  }
}

void ClosePort(LinkState& link, const Services& services) {
  services.serial.Close(link.PortHandle);
}

}  // namespace qel::ModuleAPI
