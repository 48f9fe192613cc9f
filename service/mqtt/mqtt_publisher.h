// Publishes each port's state to an MQTT broker (libmosquitto), from a thread of its own.
//
//   qel/<station>/<port>/weight   the port's JSON, QoS 1, retained, on every change
//   qel/<station>/status          "online", retained; the broker's last will sets "offline"
//
// Publish() only records the port's latest state and wakes the thread: it never waits on the
// network. While the broker is away nothing queues; after a reconnect (with backoff) the
// current state of every port is published once. With the broker slow to acknowledge, at most
// kMaxInFlight messages are outstanding and a port that changes again meanwhile is sent once,
// with its newest state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mqtt_options.h"

namespace qeld::mqtt {

class Publisher {
 public:
  using Log = std::function<void(const std::string& line)>;

  struct Stats {
    bool connected = false;
    std::uint64_t connects = 0;   // successful connections (CONNACK accepted)
    std::uint64_t published = 0;  // weight messages handed to the broker
  };

  static constexpr int kMaxInFlight = 16;

  // Starts connecting at once. `log` gets one line per connection event (connected, refused,
  // lost, TLS failure), without repeating the same failure on every retry; it is called from
  // the publisher's thread. Without `log`, lines go to stderr.
  explicit Publisher(Settings settings, Log log = nullptr);
  // Publishes "offline", disconnects cleanly (waiting at most about a second) and stops.
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // The port's new state as the JSON text the WebSocket clients get. Thread-safe.
  void Publish(const std::string& port, std::string json);

  Stats GetStats() const;
  // The stats in Prometheus text format: qelscaled_mqtt_connected, _connects_total and
  // _published_total.
  std::string Metrics() const;

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
};

}  // namespace qeld::mqtt
