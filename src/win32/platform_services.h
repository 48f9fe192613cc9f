// The Windows platform handed to the driver: kernel32 serial calls, MessageBoxW, the user's
// default locale, Sleep and one LinkState per thread. Hosts pass it to every driver object;
// the core itself never names a platform.
#pragma once

#include "services.h"

namespace qel {

// Process-wide, created on first use.
Services& PlatformServices();

}  // namespace qel
