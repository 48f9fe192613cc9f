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

// The DCB bit-field word (LineSettings::Flags), one name per field, in the order and at the
// positions the system declares them. Both back ends read the word through these names.
inline constexpr std::uint32_t kDcbBinary = 1u << 0;            // fBinary
inline constexpr std::uint32_t kDcbParity = 1u << 1;            // fParity
inline constexpr std::uint32_t kDcbOutxCtsFlow = 1u << 2;       // fOutxCtsFlow
inline constexpr std::uint32_t kDcbOutxDsrFlow = 1u << 3;       // fOutxDsrFlow
inline constexpr unsigned kDcbDtrControlShift = 4;              // fDtrControl, 2 bits
inline constexpr std::uint32_t kDcbDsrSensitivity = 1u << 6;    // fDsrSensitivity
inline constexpr std::uint32_t kDcbTxContinueOnXoff = 1u << 7;  // fTXContinueOnXoff
inline constexpr std::uint32_t kDcbOutX = 1u << 8;              // fOutX
inline constexpr std::uint32_t kDcbInX = 1u << 9;               // fInX
inline constexpr std::uint32_t kDcbErrorChar = 1u << 10;        // fErrorChar
inline constexpr std::uint32_t kDcbNull = 1u << 11;             // fNull
inline constexpr unsigned kDcbRtsControlShift = 12;             // fRtsControl, 2 bits
inline constexpr std::uint32_t kDcbAbortOnError = 1u << 14;     // fAbortOnError

// The width of fDtrControl and fRtsControl, and DTR_CONTROL_DISABLE / RTS_CONTROL_DISABLE
// (the line is held off).
inline constexpr std::uint32_t kDcbControlMask = 3u;
inline constexpr std::uint32_t kLineControlDisable = 0;

// Whether a one-bit field is set in `flags`.
constexpr bool DcbFlag(std::uint32_t flags, std::uint32_t bit) { return (flags & bit) != 0; }
// The two-bit fDtrControl and fRtsControl values (DTR_CONTROL_* and RTS_CONTROL_*).
constexpr std::uint32_t DtrControl(std::uint32_t flags) {
  return (flags >> kDcbDtrControlShift) & kDcbControlMask;
}
constexpr std::uint32_t RtsControl(std::uint32_t flags) {
  return (flags >> kDcbRtsControlShift) & kDcbControlMask;
}

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
