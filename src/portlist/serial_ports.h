// The serial ports this machine has, as the system lists them: for `qelscale ports` and the
// weight service's /v1/ports. Each system's listing is in its own file (serial_ports_posix.cpp,
// serial_ports_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace qel {

struct SerialPortEntry {
  std::string name;         // what --port takes: /dev/ttyUSB0, COM3
  std::string description;  // what the system calls the device ("USB Serial Port"); may be empty
};

// POSIX: 8250-style ports that have a UART behind them, USB serial adapters and modems, then
// the stable by-id names; no descriptions. Decided from sysfs: no device is opened. Windows:
// the ports of HARDWARE\DEVICEMAP\SERIALCOMM, COM2 before COM10, described by the Ports class
// devices' names where there is one. It may take a while (SetupDi): a server lists through a
// PortListCache (port_list_cache.h), not on its network thread.
std::vector<SerialPortEntry> ListSerialPorts();

}  // namespace qel
