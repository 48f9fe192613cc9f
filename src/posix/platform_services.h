// The Linux platform handed to the driver: termios serial port, message handler, the
// environment's number format, a real pause and one LinkState per thread. Hosts pass it to
// every driver object; the core itself never names a platform.
#pragma once

#include "services.h"

namespace qel {

// Process-wide, created on first use.
Services& PlatformServices();

}  // namespace qel
