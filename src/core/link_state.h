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

// The fields of the DCB bit-field word (LineSettings::Flags), named by their lowest bit, in
// the order and at the positions the system declares them. fDtrControl and fRtsControl are
// two bits wide. The POSIX back end reads the word through these names; the Windows one hands
// it to the system as it is.
enum DcbBit : unsigned {
  kDcbBinary,       // fBinary
  kDcbParity,       // fParity
  kDcbOutxCtsFlow,  // fOutxCtsFlow
  kDcbOutxDsrFlow,  // fOutxDsrFlow
  kDcbDtrControl,   // fDtrControl, 2 bits
  kDcbDsrSensitivity = kDcbDtrControl + 2,
  kDcbTxContinueOnXoff,  // fTXContinueOnXoff
  kDcbOutX,
  kDcbInX,
  kDcbErrorChar,
  kDcbNull,
  kDcbRtsControl,  // fRtsControl, 2 bits
  kDcbAbortOnError = kDcbRtsControl + 2,
  kDcbReserved,  // fDummy2: the 17 bits from here on are the system's
};
static_assert(kDcbRtsControl == 12 && kDcbReserved == 15, "positions as the system declares");

constexpr std::uint32_t DcbMask(DcbBit bit) { return 1u << bit; }
// Whether a one-bit field is set in `flags`.
constexpr bool DcbFlag(std::uint32_t flags, DcbBit bit) { return (flags & DcbMask(bit)) != 0; }
// The two-bit fDtrControl and fRtsControl values (DTR_CONTROL_* and RTS_CONTROL_*).
constexpr std::uint32_t DtrControl(std::uint32_t flags) { return (flags >> kDcbDtrControl) & 3u; }
constexpr std::uint32_t RtsControl(std::uint32_t flags) { return (flags >> kDcbRtsControl) & 3u; }
// DTR_CONTROL_DISABLE / RTS_CONTROL_DISABLE: the line is held off.
inline constexpr std::uint32_t kLineControlDisable = 0;

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
