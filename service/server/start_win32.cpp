#include "start.h"

namespace qeld {

// Windows has no per-process descriptor limit to raise for sockets.
void RaiseDescriptorLimit() {}

std::shared_ptr<void> StartExtras(const Options&, Config&, QueueLog&, std::string&) {
  return nullptr;
}

// No SIGHUP here: a new certificate takes a restart of the service.
std::shared_ptr<void> WatchReloadSignal(boost::asio::io_context&, std::function<void()>) {
  return nullptr;
}

}  // namespace qeld
