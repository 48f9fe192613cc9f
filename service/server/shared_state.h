// What the listener and the sessions share on the network thread: the configuration, the
// io_context, the ports and the connection counters.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "log_sink.h"
#include "port_hub.h"
#include "refusal_log.h"
#include "server.h"

namespace qeld {

struct SharedState {
  SharedState(const Config& config_in, qel::Services& platform, QueueLog& log_in)
      : config(config_in), log(log_in), hub(ioc, config_in, platform, log_in) {}

  // /metrics: the ports', the connections', the log's and the extra lines.
  std::string Metrics() const;

  const Config& config;
  QueueLog& log;
  // Before the io_context: sessions it still holds count themselves out when it goes.
  std::size_t connections = 0;
  std::size_t ws_clients = 0;
  std::uint64_t refused_connections = 0;
  std::uint64_t dropped_clients = 0;
  std::map<std::string, std::uint64_t> rejected;  // requests refused, by reason
  RefusalLog refusals{[this](std::string line) { log.Line(std::move(line)); }};

  boost::asio::io_context ioc{1};
  PortHub hub;  // after the io_context: its threads stop before the context goes
};

// Counts an open connection for as long as it lives.
class ConnectionCount {
 public:
  explicit ConnectionCount(SharedState& state) : state_(state) { ++state_.connections; }
  ~ConnectionCount() { --state_.connections; }
  ConnectionCount(const ConnectionCount&) = delete;
  ConnectionCount& operator=(const ConnectionCount&) = delete;

 private:
  SharedState& state_;
};

}  // namespace qeld
