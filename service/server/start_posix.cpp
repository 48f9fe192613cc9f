#include <sys/resource.h>

#include <boost/asio/signal_set.hpp>
#include <csignal>

#include "mqtt_publisher.h"
#include "start.h"

namespace qeld {
namespace {

namespace net = boost::asio;

// Waits for the next signal. The set outlives every wait but the one its destruction cancels.
void AwaitReload(net::signal_set& signals, std::function<void()> reload) {
  signals.async_wait([&signals, reload = std::move(reload)](boost::system::error_code ec, int) {
    if (ec) return;
    reload();
    AwaitReload(signals, reload);
  });
}

}  // namespace

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

std::shared_ptr<void> WatchReloadSignal(net::io_context& ioc, std::function<void()> reload) {
  auto signals = std::make_shared<net::signal_set>(ioc, SIGHUP);
  AwaitReload(*signals, std::move(reload));
  return signals;
}

}  // namespace qeld
