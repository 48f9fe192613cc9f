#include <sys/resource.h>

#include "mqtt_publisher.h"
#include "start.h"

namespace qeld {

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::shared_ptr<void> StartExtras(const Options& options, Config& config, QueueLog& log,
                                  std::string& error) {
  if (options.mqtt.url.empty()) return nullptr;
  const std::optional<mqtt::Settings> settings = mqtt::Resolve(options.mqtt, error);
  if (!settings) return nullptr;
  auto publisher = std::make_shared<mqtt::Publisher>(
      *settings, [&log](const std::string& line) { log.Line(line); });
  mqtt::Publisher* const sink = publisher.get();  // the handle outlives the server
  config.on_change = [sink](const std::string& port, const std::string& json) {
    sink->Publish(port, json);
  };
  config.more_metrics = [sink] { return sink->Metrics(); };
  return publisher;
}

}  // namespace qeld
