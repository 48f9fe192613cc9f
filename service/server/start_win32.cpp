#include "start.h"

namespace qeld {

// Windows has no per-process descriptor limit to raise for sockets.
void RaiseDescriptorLimit() {}

std::shared_ptr<void> StartExtras(const Options&, Config&, QueueLog&, std::string&) {
  return nullptr;
}

}  // namespace qeld
