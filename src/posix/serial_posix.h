// termios back end of the serial seam.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "services.h"

namespace qel::posix {

// The device path behind a device name as the driver forms it (port name + ":", or
// \\.\COMn): "COMn" in any case is /dev/ttyS<n-1>, a name starting with "/" is a path as it
// stands. No value for any other name.
std::optional<std::string> DevicePathFor(std::string_view device);

// Process-wide instance; handles are file descriptors.
SerialApi& PosixSerialApi();

}  // namespace qel::posix
