// What qelscaled starts beside the server, as each build has it: the descriptor limit on
// POSIX, MQTT publishing on Linux; nothing more on Windows.
#pragma once

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

}  // namespace qeld
