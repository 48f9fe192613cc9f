// The Linux listing under other roots than /dev and /sys/class/tty, so that a test can lay
// out the device nodes and sysfs entries it needs.
#pragma once

#include <string>
#include <vector>

#include "serial_ports.h"

namespace qel {

// ListSerialPorts() with `dev` for /dev and `sys_tty` for /sys/class/tty.
std::vector<SerialPortEntry> ListSerialPortsUnder(const std::string& dev,
                                                  const std::string& sys_tty);

}  // namespace qel
