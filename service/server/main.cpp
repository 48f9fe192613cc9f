// qelscaled: the weight service. Serves the ports it is given over HTTP and WebSocket.
#include "options.h"
#include "platform_services.h"
#include "server.h"
#include "service_host.h"
#include "start.h"

namespace {

int Run(int argc, const char* const* argv, qeld::Hosting& hosting) {
  qeld::Command command = qeld::ParseCommandLine(argc, argv);
  if (command.exit_status) {
    hosting.say(command.message, *command.exit_status == 0);
    return *command.exit_status;
  }
  qeld::RaiseDescriptorLimit();
  qeld::QueueLog log(hosting.log);
  qeld::Config& config = command.options.config;
  std::string error;
  // Declared after the log, so what it started stops (MQTT saying "offline") before the log.
  const std::shared_ptr<void> extras = qeld::StartExtras(command.options, config, log, error);
  if (!error.empty()) {
    hosting.say("qelscaled: " + error + "\n", false);
    return 2;
  }
  return qeld::Serve(config, qel::PlatformServices(), log, &hosting.control);
}

}  // namespace

int main(int argc, char** argv) { return qeld::RunHosted(argc, argv, &Run); }
