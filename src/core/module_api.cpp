#include "module_api.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "messages.h"
#include "runtime_fault.h"

namespace qel::ModuleAPI {
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

LineSettings LineSettingsFor(const LineFormat& line) {
  LineSettings dcb = MakeLineSettings(static_cast<std::int32_t>(line.baud));
  dcb.ByteSize = line.data_bits;
  // NOPARITY, ODDPARITY, EVENPARITY; ONESTOPBIT, TWOSTOPBITS.
  dcb.Parity = line.parity == 'O' ? 1 : line.parity == 'E' ? 2 : 0;
  dcb.StopBits = line.stop_bits == 2 ? 2 : 0;
  // DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE raise the lines; MakeLineSettings holds them off.
  constexpr std::uint32_t kEnable = 1;
  if (line.dtr) dcb.Flags |= kEnable << kDcbDtrControl;
  if (line.rts) dcb.Flags |= kEnable << kDcbRtsControl;
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

PortOpening OpenPort(LinkState& link, const Services& services, std::string_view name,
                     std::int32_t baud) {
  PortSetup setup;
  setup.line = MakeLineSettings(baud);
  setup.timeouts = [baud] { return MakeTimeouts(baud); };
  setup.on_failure = [&services](const PortOpening& failed) {
    messages::Show(services.messages, failed.error, failed.message);
  };
  PortOpening opening = OpenSerialPort(services.serial, name, setup);
  link.PortHandle = opening.handle;
  if (opening.handle != kInvalidPortHandle) {
    link.LineSettings = setup.line;
    link.Timeouts = opening.timeouts;
  }
  return opening;
}

bool ReadPort(LinkState& link, const Services& services) {
  // Every read lands on spaces, whoever called it: the bytes past BytesRead are blanks, never
  // what an earlier read left there.
  ClearBuffer(link);
  const ReadOutcome read = services.serial.Read(link.PortHandle, link.RxBuffer, kReadSize);
  link.BytesRead =
      static_cast<std::int32_t>(read.bytes_read > kReadSize ? kReadSize : read.bytes_read);
  if (!read.status.ok) {
    // No error state is kept by this component, so the description is always empty.
    messages::Show(services.messages, ReadingError::kReadFailed,
                   messages::ReadFailed(read.status.code, ""));
  }
  return read.status.ok;
}

void ClosePort(LinkState& link, const Services& services) {
  services.serial.Close(link.PortHandle);
}

}  // namespace qel::ModuleAPI
