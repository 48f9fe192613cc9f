// The Windows build publishes to no MQTT broker: no rows of its own.
#include "options.h"

namespace qeld {

const PlatformOptions& PlatformOptionRows() {
  static const PlatformOptions options{{}, nullptr};
  return options;
}

}  // namespace qeld
