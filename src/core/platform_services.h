// The platform handed to the driver: serial port, message boxes, the user's number format, a
// real pause and one LinkState per thread. Each platform library defines it; hosts pass it to
// every driver object, and the rest of the core never names a platform.
#pragma once

#include "services.h"

namespace qel {

// Process-wide, created on first use.
Services& PlatformServices();

}  // namespace qel
