// The machine's serial ports in /v1/ports, so one can see what to pass to --port or --stream.
#pragma once

#include <string>
#include <vector>

#include "serial_ports.h"

namespace qeld {

// [{"name":"COM3","description":"USB Serial Port"},...] of `ports`.
std::string AvailablePortsJson(const std::vector<qel::SerialPortEntry>& ports);
// The same of the process's cached listing, for the network thread: it never lists the ports
// itself. The listing runs on a worker from StartPortListing() on and again when a request
// finds it older than 2 s, answering the previous one meanwhile.
std::string AvailablePortsJson();
// Starts the first listing, so that the first /v1/ports finds it ready.
void StartPortListing();

}  // namespace qeld
