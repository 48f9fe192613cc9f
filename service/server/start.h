// What qelscaled starts beside the server, as each build has it: the descriptor limit on
// POSIX, MQTT publishing on Linux; nothing more on Windows.
#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>

#include "log_sink.h"
#include "options.h"

namespace qeld {

// Every client is a descriptor: takes what the hard limit allows.
void RaiseDescriptorLimit();

// Starts what `options` asks for beside the server and hooks it into `config`. The handle
// keeps it running; dropping it stops it. On failure, returns nullptr and the reason in
// `error`.
std::shared_ptr<void> StartExtras(const Options& options, Config& config, QueueLog& log,
                                  std::string& error);

// Calls `reload` on `ioc`'s thread each time the system asks a daemon to read its files again:
// SIGHUP on POSIX. Windows has no such signal and the handle is empty there. The handle keeps
// the watch; it must go before `ioc` does.
std::shared_ptr<void> WatchReloadSignal(boost::asio::io_context& ioc, std::function<void()> reload);

}  // namespace qeld
