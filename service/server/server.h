// qelscaled's network side: HTTP and WebSocket on Boost.Beast over one Asio thread; the
// ports' readers run on threads of their own and post their readings here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "log_sink.h"
#include "named_port.h"
#include "routing.h"
#include "serve_control.h"
#include "services.h"
#include "tls.h"

namespace qeld {

struct Limits {
  std::size_t header_bytes = 8 * 1024;  // request line and headers together
  std::size_t body_bytes = 1024;
  std::chrono::milliseconds header_timeout{10000};  // a whole request must arrive within it
  std::chrono::milliseconds idle_timeout{30000};    // a kept-alive connection may idle this long
  std::size_t max_connections = 1500;
  std::size_t max_stable_waiters = 256;  // stable waits pending at once on one port
  std::size_t ws_message_bytes = 1024;   // largest message a WebSocket client may send
  std::size_t ws_queue = 64;             // messages waiting for a slow client before it is dropped
  // The kernel's send buffer of a WebSocket connection: bounds what a client that stopped
  // reading holds, and lets its own queue fill so it is dropped.
  std::size_t ws_socket_buffer = 64 * 1024;
  std::chrono::milliseconds ws_idle{20000};  // pings after half of it, closed after all of it
};

struct Config {
  std::string listen_host = "127.0.0.1";
  std::uint16_t listen_port = 8778;
  // Also [::1] on the same port (the default, and --listen localhost:PORT): browsers resolve
  // localhost to either, and a loopback address left free is one another program can serve.
  bool both_loopbacks = true;
  Policy policy;
  // Every port of the policy as it was named: protocol and line (the driver's frames for a
  // port named without options).
  std::map<std::string, qel::NamedPort> named_ports;
  Limits limits;
  // Set: the listener speaks only HTTPS and wss://.
  std::shared_ptr<boost::asio::ssl::context> tls;
  tls::Files tls_files;  // what SIGHUP loads into `tls` again
  std::chrono::milliseconds stable_for{500};
  // Called on the network thread with a port's name and JSON on every change of value,
  // stability or error: a stream port's as its WebSocket clients get it, an on-demand port's
  // when a request's cycle changes it. Must not block (MQTT publishing).
  std::function<void(const std::string& port, const std::string& json)> on_change;
  // More lines for /metrics in Prometheus text format (MQTT publishing).
  std::function<std::string()> more_metrics;
};

// Serves until SIGINT or SIGTERM, or until `control` (when given) is stopped. Prints
// "listening on http://HOST:PORT/" (https:// with TLS) to stdout for each bound socket,
// 127.0.0.1 first (PORT is the real one when 0 was asked). Returns the exit status: 1 when an
// address cannot be bound.
int Serve(const Config& config, qel::Services& platform, QueueLog& log,
          ServeControl* control = nullptr);

}  // namespace qeld
