#pragma once

#include <string>
#include <vector>

namespace qelcli {

struct SerialPort {
  std::string path;
};

// The serial devices present: 8250-style ports that have a UART behind them, USB serial
// adapters and modems, and the stable by-id names.
std::vector<SerialPort> ListSerialPorts();

}  // namespace qelcli
