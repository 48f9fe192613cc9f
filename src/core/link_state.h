// Per-thread state of the one serial port the driver talks to.
#pragma once

#include <cstdint>
#include <string>

namespace qel {

// A port handle as the platform hands it out: a Win32 HANDLE or a POSIX file descriptor.
// Both platforms use -1 as "no handle" (INVALID_HANDLE_VALUE / failed open()).
using PortHandle = std::intptr_t;
inline constexpr PortHandle kInvalidPortHandle = -1;

// Field-for-field mirror of the Win32 DCB, so the portable code fills it and each back end
// applies it its own way.
struct LineSettings {
  std::uint32_t DCBlength = 0;
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;  // the DCB bit-field word
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;
};

// DCB bit-field word bits used by the driver.
inline constexpr std::uint32_t kDcbBinary = 0x1;
inline constexpr std::uint32_t kDcbParity = 0x2;
inline constexpr std::uint32_t kDcbTxContinueOnXoff = 0x80;

// Mirror of the Win32 COMMTIMEOUTS record, in milliseconds.
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

inline constexpr int kRxBufferSize = 256;
inline constexpr std::uint32_t kReadSize = 255;  // a read never touches the last byte

struct LinkState {
  std::string PortName;  // UTF-8, without colon, as the client gave it
  qel::PortHandle PortHandle = kInvalidPortHandle;
  std::uint8_t RxBuffer[kRxBufferSize] = {};
  std::int32_t BytesRead = 0;
  qel::LineSettings LineSettings;
  qel::CommTimeouts Timeouts;
};

}  // namespace qel
