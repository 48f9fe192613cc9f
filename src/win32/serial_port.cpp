// kernel32 serial calls, one to one with the link's operations.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "platform.h"
#include "services.h"
#include "wide_text.h"
#include "win32_services.h"

namespace qel::win32 {
namespace {

HANDLE ToHandle(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

DCB ToDcb(const LineSettings& settings) {
  // LineSettings mirrors the DCB field for field, its Flags word included (the system's
  // bit-field encoding, named in link_state.h), so the record goes over whole; the Wine tests
  // read back every field. Only the reserved fDummy2 bits are cleared.
  static_assert(sizeof(DCB) == sizeof(LineSettings));
  static_assert(std::is_trivially_copyable_v<LineSettings>);
  static_assert(offsetof(DCB, wReserved) == offsetof(LineSettings, wReserved));
  static_assert(offsetof(DCB, ByteSize) == offsetof(LineSettings, ByteSize));
  static_assert(offsetof(DCB, XonChar) == offsetof(LineSettings, XonChar));
  static_assert(offsetof(DCB, wReserved1) == offsetof(LineSettings, wReserved1));
  LineSettings record = settings;
  record.Flags &= DcbMask(kDcbReserved) - 1;
  DCB dcb;
  std::memcpy(&dcb, &record, sizeof dcb);
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

SysStatus Win32Serial::Write(PortHandle handle, const std::uint8_t* data, std::uint32_t count) {
  OVERLAPPED overlapped{};
  DWORD written = 0;
  if (!::WriteFile(ToHandle(handle), data, count, &written, &overlapped)) {
    return SysStatus::Fail(::GetLastError());
  }
  // The write timeouts ran out before every byte went out.
  if (written != count) return SysStatus::Fail(ERROR_TIMEOUT);
  return SysStatus::Ok();
}

void Win32Serial::Close(PortHandle handle) { ::CloseHandle(ToHandle(handle)); }

}  // namespace qel::win32
