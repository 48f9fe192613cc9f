// qelscaled: the weight service. Serves the ports it is given over HTTP and WebSocket.
#include <cstdio>

#include "options.h"
#include "platform_services.h"
#include "server.h"
#include "start.h"

int main(int argc, char** argv) {
  qeld::Command command = qeld::ParseCommandLine(argc, argv);
  if (command.exit_status) {
    std::fputs(command.message.c_str(), *command.exit_status == 0 ? stdout : stderr);
    return *command.exit_status;
  }
  qeld::RaiseDescriptorLimit();
  qeld::QueueLog log;
  qeld::Config& config = command.options.config;
  std::string error;
  // Declared after the log, so what it started stops (MQTT saying "offline") before the log.
  const std::shared_ptr<void> extras = qeld::StartExtras(command.options, config, log, error);
  if (!error.empty()) {
    std::fprintf(stderr, "qelscaled: %s\n", error.c_str());
    return 2;
  }
  return qeld::Serve(config, qel::PlatformServices(), log);
}
