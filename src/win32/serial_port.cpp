// kernel32 serial calls, one to one with the link's operations.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform.h"
#include "services.h"
#include "wide_text.h"
#include "win32_services.h"

namespace qel::win32 {
namespace {

HANDLE ToHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

DCB ToDcb(const LineSettings& settings) {
  DCB dcb{};
  dcb.DCBlength = settings.DCBlength;
  dcb.BaudRate = settings.BaudRate;
  // The bit-field word is the system's own encoding (kDcbBinary in bit 0, see link_state.h):
  // a DWORD of bit-fields right after BaudRate. Bit-fields have no address, so it is copied
  // in whole; the reserved fDummy2 bits stay clear.
  static_assert(offsetof(DCB, wReserved) == offsetof(DCB, BaudRate) + 2 * sizeof(DWORD));
  const std::uint32_t flags = settings.Flags & (DcbMask(kDcbReserved) - 1);
  std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(DWORD),
              &flags, sizeof flags);
  dcb.wReserved = settings.wReserved;
  dcb.XonLim = settings.XonLim;
  dcb.XoffLim = settings.XoffLim;
  dcb.ByteSize = settings.ByteSize;
  dcb.Parity = settings.Parity;
  dcb.StopBits = settings.StopBits;
  dcb.XonChar = settings.XonChar;
  dcb.XoffChar = settings.XoffChar;
  dcb.ErrorChar = settings.ErrorChar;
  dcb.EofChar = settings.EofChar;
  dcb.EvtChar = settings.EvtChar;
  dcb.wReserved1 = settings.wReserved1;
  return dcb;
}

COMMTIMEOUTS ToCommTimeouts(const CommTimeouts& timeouts) {
  COMMTIMEOUTS result{};
  result.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
  result.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
  result.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
  result.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
  result.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
  return result;
}

OpenOutcome Win32Serial::Open(const std::string& device) {
  // CreateFileA stops at the first NUL; a name with one inside would open a different
  // device than the one the client asked for.
  if (device.find('\0') != std::string::npos) return {kInvalidPortHandle, ERROR_INVALID_NAME};
  const std::string ansi = win::WideToAnsi(win::Utf8ToWide(device));
  const HANDLE handle = ::CreateFileA(ansi.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {kInvalidPortHandle, ::GetLastError()};
  return {reinterpret_cast<PortHandle>(handle), 0};
}

void Win32Serial::Purge(PortHandle handle) { ::PurgeComm(ToHandle(handle), 0); }

SysStatus Win32Serial::SetState(PortHandle handle, const LineSettings& settings) {
  DCB dcb = ToDcb(settings);
  if (!::SetCommState(ToHandle(handle), &dcb)) return SysStatus::Fail(::GetLastError());
  return SysStatus::Ok();
}

SysStatus Win32Serial::SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) {
  COMMTIMEOUTS values = ToCommTimeouts(timeouts);
  if (!::SetCommTimeouts(ToHandle(handle), &values)) return SysStatus::Fail(::GetLastError());
  return SysStatus::Ok();
}

ReadOutcome Win32Serial::Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) {
  // The port is not opened for overlapped I/O, so this read is synchronous; the record only
  // carries the (zero) offset.
  OVERLAPPED overlapped{};
  DWORD read = 0;
  if (!::ReadFile(ToHandle(handle), buffer, count, &read, &overlapped)) {
    const DWORD code = ::GetLastError();
    return {SysStatus::Fail(code), read};
  }
  return {SysStatus::Ok(), read};
}

void Win32Serial::Close(PortHandle handle) { ::CloseHandle(ToHandle(handle)); }

}  // namespace qel::win32
