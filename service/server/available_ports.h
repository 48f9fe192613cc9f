// The machine's serial ports in /v1/ports, so one can see what to pass to --port or --stream.
#pragma once

#include <string>
#include <vector>

#include "serial_ports.h"

namespace qeld {

// [{"name":"COM3","description":"USB Serial Port"},...] of `ports`.
std::string AvailablePortsJson(const std::vector<qel::SerialPortEntry>& ports);
// The same of the ports the system lists now.
std::string AvailablePortsJson();

}  // namespace qeld
