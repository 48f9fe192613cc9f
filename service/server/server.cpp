#include "server.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "on_demand.h"
#include "page.h"
#include "reading_json.h"
#include "weight_stream.h"

namespace qeld {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using SystemClock = std::chrono::system_clock;

class WsSession;

// A port as the service serves it. Lives, and is touched, only on the network thread,
// except the reader and engine, which call in through posts.
struct Port {
  std::string name;
  PortMode mode = PortMode::kOnDemand;
  std::unique_ptr<qel::StreamEngine> engine;
  std::thread engine_thread;
  std::unique_ptr<qel::OnDemandReader> reader;

  std::optional<qel::Reading> last;
  std::shared_ptr<const std::string> last_json;
  std::vector<std::weak_ptr<WsSession>> subscribers;
  std::size_t prune_at = 64;  // subscribers entries at which the gone ones are swept out

  // Requests waiting for a stable reading newer than themselves.
  struct Waiter {
    SystemClock::time_point since;
    std::function<void(const qel::Reading&)> done;
  };
  std::map<std::uint64_t, Waiter> waiters;

  std::uint64_t cycles = 0;
  std::uint64_t readings = 0;
  std::map<qel::ReadingError, std::uint64_t> errors;
};

class App {
 public:
  App(const Config& config, qel::Services& platform, QueueLog& log)
      : config_(config), platform_(platform), log_(log), acceptor_(ioc_) {}

  net::io_context& ioc() { return ioc_; }
  const Config& config() const { return config_; }
  QueueLog& log() { return log_; }

  std::size_t connections = 0;
  std::size_t ws_clients = 0;
  std::uint64_t refused_connections = 0;
  std::uint64_t dropped_clients = 0;
  std::map<std::string, std::uint64_t> rejected;  // requests refused, by reason

  int Run();

  Port* Find(const std::string& name) {
    const auto it = ports_.find(name);
    return it == ports_.end() ? nullptr : it->second.get();
  }

  void Subscribe(Port& port, const std::shared_ptr<WsSession>& session);
  // Calls `done` on the network thread with the answer; nullptr reading means the wait timed
  // out (stable requests only).
  std::uint64_t AddWaiter(Port& port, std::function<void(const qel::Reading&)> done) {
    const std::uint64_t id = ++next_waiter_;
    port.waiters.emplace(id, Port::Waiter{SystemClock::now(), std::move(done)});
    return id;
  }
  void RequestCycle(Port& port, std::function<void(const qel::Reading&)> done);

  std::string PortsJson() const;
  std::string Metrics() const;

 private:
  void StartPorts();
  void StopPorts();
  void Accept();
  void OnStreamReading(Port& port, const qel::Reading& reading, bool changed);

  const Config& config_;
  qel::Services& platform_;
  QueueLog& log_;
  net::io_context ioc_{1};
  tcp::acceptor acceptor_;
  std::optional<qel::Services> engine_services_;  // the platform with the service's log
  std::map<std::string, std::unique_ptr<Port>> ports_;
  std::uint64_t next_waiter_ = 0;
};

std::shared_ptr<const std::string> Shared(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

// ---------------------------------------------------------------- WebSocket subscribers

class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  // The plain socket: the WebSocket stream keeps its own timers (handshake, idle, pings), so
  // a fan-out write costs no timer bookkeeping.
  WsSession(tcp::socket&& socket, App& app, Port& port)
      : ws_(std::move(socket)), app_(app), port_(port) {
    ++app_.connections;
  }
  ~WsSession() {
    --app_.connections;
    if (subscribed_) --app_.ws_clients;
  }

  void Accept(http::request<http::string_body> request, std::string protocol) {
    const Limits& limits = app_.config().limits;
    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = limits.header_timeout;
    timeout.idle_timeout = limits.ws_idle;
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.read_message_max(limits.ws_message_bytes);
    beast::error_code ignored;
    ws_.next_layer().set_option(
        net::socket_base::send_buffer_size(static_cast<int>(limits.ws_socket_buffer)), ignored);
    ws_.set_option(websocket::stream_base::decorator([protocol](websocket::response_type& res) {
      res.set(http::field::server, "qelscaled");
      if (!protocol.empty()) res.set(http::field::sec_websocket_protocol, protocol);
    }));
    ws_.text(true);
    // Messages are small: one frame each, written straight from the shared text.
    ws_.auto_fragment(false);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->subscribed_ = true;
      ++self->app_.ws_clients;
      self->app_.Subscribe(self->port_, self);
      self->Read();
    });
  }

  // Queues one message; a client that lets its queue overflow is dropped, so a slow client
  // never delays the others.
  void Send(const std::shared_ptr<const std::string>& message) {
    if (closed_) return;
    if (queue_.size() >= app_.config().limits.ws_queue) {
      ++app_.dropped_clients;
      Drop();
      return;
    }
    queue_.push_back(message);
    if (!writing_) Write();
  }

  bool closed() const { return closed_; }

 private:
  void Write() {
    writing_ = true;
    ws_.async_write(net::buffer(*queue_.front()),
                    [self = shared_from_this()](beast::error_code ec, std::size_t) {
                      self->writing_ = false;
                      if (ec) {
                        self->Drop();
                        return;
                      }
                      self->queue_.pop_front();
                      if (!self->queue_.empty() && !self->closed_) self->Write();
                    });
  }

  // Whatever a client sends is read and dropped; an oversized or malformed message ends
  // this connection only.
  void Read() {
    ws_.async_read(input_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->Drop();
        return;
      }
      self->input_.consume(self->input_.size());
      self->Read();
    });
  }

  void Drop() {
    if (closed_) return;
    closed_ = true;
    queue_.clear();
    beast::error_code ignored;
    ws_.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    ws_.next_layer().close(ignored);
  }

  websocket::stream<tcp::socket> ws_;
  App& app_;
  Port& port_;
  beast::flat_buffer input_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  bool writing_ = false;
  bool closed_ = false;
  bool subscribed_ = false;
};

void App::Subscribe(Port& port, const std::shared_ptr<WsSession>& session) {
  // Clients that come and go while the weight holds still leave expired entries, which keep
  // their sessions' memory: sweep them whenever the list has doubled.
  if (port.subscribers.size() >= port.prune_at) {
    auto& list = port.subscribers;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<WsSession>& s) { return s.expired(); }),
               list.end());
    port.prune_at = std::max<std::size_t>(64, list.size() * 2);
  }
  port.subscribers.push_back(session);
  if (!port.last_json) {
    qel::Reading none;
    none.port = port.name;
    none.stable = false;
    none.at = SystemClock::now();
    session->Send(Shared(ReadingJson(none)));
  } else {
    session->Send(port.last_json);
  }
}

void App::OnStreamReading(Port& port, const qel::Reading& reading, bool changed) {
  port.last = reading;
  if (changed) {
    if (reading.ok) {
      ++port.readings;
    } else {
      ++port.errors[reading.error];
    }
    port.last_json = Shared(ReadingJson(reading));
    if (config_.on_change) config_.on_change(port.name, *port.last_json);
    auto& subscribers = port.subscribers;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < subscribers.size(); ++i) {
      const std::shared_ptr<WsSession> session = subscribers[i].lock();
      if (!session || session->closed()) continue;
      session->Send(port.last_json);
      if (!session->closed()) subscribers[kept++] = subscribers[i];
    }
    subscribers.resize(kept);
  }
  if (reading.ok && reading.stable && *reading.stable) {
    for (auto it = port.waiters.begin(); it != port.waiters.end();) {
      if (it->second.since < reading.at) {
        auto done = std::move(it->second.done);
        it = port.waiters.erase(it);
        done(reading);
      } else {
        ++it;
      }
    }
  }
}

void App::RequestCycle(Port& port, std::function<void(const qel::Reading&)> done) {
  port.reader->Request([this, done = std::move(done)](const qel::Reading& reading) {
    net::post(ioc_, [done, reading] { done(reading); });
  });
}

// ---------------------------------------------------------------- HTTP

std::string EscapeLabel(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string App::PortsJson() const {
  std::string out = "{\"ports\":[";
  bool first = true;
  for (const auto& [name, port] : ports_) {
    if (!first) out += ',';
    first = false;
    const bool stream = port->mode == PortMode::kStream;
    std::string state;
    if (!port->last) {
      state = stream ? "starting" : "idle";
    } else if (port->last->ok) {
      state = "ok";
    } else {
      state = std::string(qel::ReadingErrorName(port->last->error));
    }
    out += "{\"port\":" + JsonString(name) +
           ",\"mode\":" + JsonString(stream ? "stream" : "on-demand") +
           ",\"state\":" + JsonString(state) +
           ",\"last\":" + (port->last ? ReadingJson(*port->last) : std::string("null")) + "}";
  }
  out += "]}";
  return out;
}

std::string App::Metrics() const {
  std::ostringstream out;
  out << "# HELP qelscaled_cycles_total Driver cycles run for on-demand readings.\n"
         "# TYPE qelscaled_cycles_total counter\n";
  for (const auto& [name, port] : ports_) {
    if (port->mode == PortMode::kOnDemand) {
      out << "qelscaled_cycles_total{port=\"" << EscapeLabel(name) << "\"} "
          << port->reader->cycles() << "\n";
    }
  }
  out << "# HELP qelscaled_port_opens_total Opens of a stream port.\n"
         "# TYPE qelscaled_port_opens_total counter\n";
  for (const auto& [name, port] : ports_) {
    if (port->mode == PortMode::kStream) {
      out << "qelscaled_port_opens_total{port=\"" << EscapeLabel(name) << "\"} "
          << port->engine->counters().opens << "\n";
    }
  }
  out << "# HELP qelscaled_frames_total Frames decoded on a stream port.\n"
         "# TYPE qelscaled_frames_total counter\n";
  for (const auto& [name, port] : ports_) {
    if (port->mode == PortMode::kStream) {
      out << "qelscaled_frames_total{port=\"" << EscapeLabel(name) << "\"} "
          << port->engine->counters().frames << "\n";
    }
  }
  out << "# HELP qelscaled_readings_total Readings: on-demand cycles with a weight, and "
         "changes to a new weight on a stream port.\n"
         "# TYPE qelscaled_readings_total counter\n";
  for (const auto& [name, port] : ports_) {
    out << "qelscaled_readings_total{port=\"" << EscapeLabel(name) << "\"} " << port->readings
        << "\n";
  }
  out << "# HELP qelscaled_errors_total Readings without a weight, by kind.\n"
         "# TYPE qelscaled_errors_total counter\n";
  for (const auto& [name, port] : ports_) {
    for (const auto kind : {qel::ReadingError::kNoReading, qel::ReadingError::kPortUnavailable,
                            qel::ReadingError::kSetupFailed, qel::ReadingError::kReadFailed}) {
      const auto it = port->errors.find(kind);
      out << "qelscaled_errors_total{port=\"" << EscapeLabel(name) << "\",kind=\""
          << qel::ReadingErrorName(kind) << "\"} " << (it == port->errors.end() ? 0 : it->second)
          << "\n";
    }
  }
  out << "# HELP qelscaled_clients Open client connections.\n"
         "# TYPE qelscaled_clients gauge\n"
      << "qelscaled_clients{kind=\"websocket\"} " << ws_clients << "\n"
      << "qelscaled_clients{kind=\"connection\"} " << connections << "\n"
      << "# HELP qelscaled_dropped_clients_total WebSocket clients dropped for a full queue.\n"
         "# TYPE qelscaled_dropped_clients_total counter\n"
      << "qelscaled_dropped_clients_total " << dropped_clients << "\n"
      << "# HELP qelscaled_refused_connections_total Connections refused at the limit.\n"
         "# TYPE qelscaled_refused_connections_total counter\n"
      << "qelscaled_refused_connections_total " << refused_connections << "\n"
      << "# HELP qelscaled_rejected_requests_total Requests refused, by reason.\n"
         "# TYPE qelscaled_rejected_requests_total counter\n";
  for (const auto& [reason, count] : rejected) {
    out << "qelscaled_rejected_requests_total{reason=\"" << EscapeLabel(reason) << "\"} " << count
        << "\n";
  }
  out << "# HELP qelscaled_log_lines_dropped_total Log lines dropped for a full log queue.\n"
         "# TYPE qelscaled_log_lines_dropped_total counter\n"
      << "qelscaled_log_lines_dropped_total " << log_.dropped() << "\n";
  if (config_.more_metrics) out << config_.more_metrics();
  return out.str();
}

std::optional<std::string_view> Header(const http::request<http::string_body>& request,
                                       http::field field) {
  const auto it = request.find(field);
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

std::optional<std::string_view> Header(const http::request<http::string_body>& request,
                                       std::string_view name) {
  const auto it = request.find(beast::string_view(name.data(), name.size()));
  if (it == request.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, App& app) : stream_(std::move(socket)), app_(app) {
    ++app_.connections;
  }
  ~HttpSession() { --app_.connections; }

  void Start() { ReadRequest(); }

 private:
  const Limits& limits() const { return app_.config().limits; }

  // Between requests of a kept-alive connection: up to the idle timeout for the next one
  // to begin, then the header timeout for all of it.
  void WaitNext() {
    if (buffer_.size() > 0) return ReadRequest();
    stream_.expires_after(limits().idle_timeout);
    stream_.async_read_some(buffer_.prepare(512),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              if (ec) return self->Close();
                              self->buffer_.commit(n);
                              self->ReadRequest();
                            });
  }

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits().header_bytes));
    parser_->body_limit(limits().body_bytes);
    stream_.expires_after(limits().header_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       // Malformed, oversized, too slow or gone: this connection ends here.
                       if (ec) return self->Close();
                       self->Handle();
                     });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  void Handle() {
    http::request<http::string_body>& request = parser_->get();
    const std::string method(request.method_string());
    const std::string target(request.target());
    RequestInfo info;
    info.method = method;
    info.target = target;
    info.host = Header(request, http::field::host);
    info.origin = Header(request, http::field::origin);
    info.authorization = Header(request, http::field::authorization);
    info.websocket_protocol = Header(request, http::field::sec_websocket_protocol);
    info.websocket_upgrade = websocket::is_upgrade(request);
    info.request_method = Header(request, http::field::access_control_request_method);
    info.request_private_network = Header(request, "Access-Control-Request-Private-Network");
    decision_ = Route(info, app_.config().policy);
    if (decision_.endpoint == Endpoint::kReject) ++app_.rejected[decision_.error];
    keep_alive_ = request.keep_alive();
    version_ = request.version();

    switch (decision_.endpoint) {
      case Endpoint::kPage:
        return Reply(http::status::ok, "text/html; charset=utf-8", std::string(kPageHtml));
      case Endpoint::kPorts:
        return Reply(http::status::ok, "application/json", app_.PortsJson());
      case Endpoint::kMetrics:
        return Reply(http::status::ok, "text/plain; version=0.0.4; charset=utf-8", app_.Metrics());
      case Endpoint::kPreflight:
        return Reply(http::status::no_content, "", "");
      case Endpoint::kReject:
        return Reply(static_cast<http::status>(decision_.status), "application/json",
                     ErrorJson(decision_.error));
      case Endpoint::kWeight:
        return Weigh();
      case Endpoint::kStream:
        return Upgrade();
    }
  }

  void Weigh() {
    Port* port = app_.Find(decision_.port);
    if (port == nullptr) {
      return Reply(http::status::not_found, "application/json", ErrorJson("unknown-port"));
    }
    auto self = shared_from_this();
    if (port->mode == PortMode::kOnDemand) {
      return app_.RequestCycle(*port, [self](const qel::Reading& reading) {
        self->Reply(http::status::ok, "application/json", ReadingJson(reading));
      });
    }
    if (!decision_.stable) {
      qel::Reading reading;
      if (port->last) {
        reading = *port->last;
      } else {
        reading.port = port->name;
        reading.stable = false;
        reading.at = SystemClock::now();
      }
      return Reply(http::status::ok, "application/json", ReadingJson(reading));
    }
    // Wait for a stable reading newer than this request, up to timeout_ms.
    const std::uint64_t id = app_.AddWaiter(*port, [self](const qel::Reading& reading) {
      self->timer_.reset();
      self->Reply(http::status::ok, "application/json", ReadingJson(reading));
    });
    timer_.emplace(app_.ioc());
    timer_->expires_after(std::chrono::milliseconds(decision_.timeout_ms));
    stream_.expires_never();
    timer_->async_wait([self, id, port](beast::error_code ec) {
      if (ec) return;  // answered meanwhile
      if (port->waiters.erase(id) == 0) return;
      self->Reply(http::status::gateway_timeout, "application/json",
                  ErrorJson("no-stable-reading"));
    });
  }

  void Upgrade() {
    Port* port = app_.Find(decision_.port);
    if (port == nullptr || port->mode != PortMode::kStream) {
      return Reply(http::status::bad_request, "application/json",
                   ErrorJson("stream-needs-stream-port"));
    }
    auto session = std::make_shared<WsSession>(stream_.release_socket(), app_, *port);
    session->Accept(parser_->release(), decision_.websocket_protocol);
  }

  void Reply(http::status status, std::string_view type, std::string body) {
    auto response = std::make_shared<http::response<http::string_body>>(status, version_);
    response->set(http::field::server, "qelscaled");
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("X-Frame-Options", "DENY");
    response->set("Referrer-Policy", "no-referrer");
    if (!type.empty()) {
      response->set(http::field::content_type, beast::string_view(type.data(), type.size()));
    }
    if (!decision_.cors_origin.empty()) {
      response->set(http::field::access_control_allow_origin, decision_.cors_origin);
      response->set(http::field::vary, "Origin");
    }
    if (decision_.endpoint == Endpoint::kPreflight) {
      response->set(http::field::access_control_allow_methods, "GET");
      response->set(http::field::access_control_allow_headers, "Authorization");
      response->set(http::field::access_control_max_age, "600");
      if (decision_.allow_private_network) {
        response->set("Access-Control-Allow-Private-Network", "true");
      }
    }
    if (status == http::status::unauthorized) {
      response->set(http::field::www_authenticate,
                    decision_.ask_basic_auth ? "Basic realm=\"qelscaled\", charset=\"UTF-8\""
                                             : "Bearer realm=\"qelscaled\"");
    }
    response->body() = std::move(body);
    // Rejections end the connection: whoever sends them gets no second try on it.
    response->keep_alive(keep_alive_ && decision_.endpoint != Endpoint::kReject);
    response->prepare_payload();
    stream_.expires_after(limits().header_timeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                        if (ec || !response->keep_alive()) return self->Close();
                        self->WaitNext();
                      });
  }

  beast::tcp_stream stream_;
  App& app_;
  beast::flat_buffer buffer_{16 * 1024};
  std::optional<http::request_parser<http::string_body>> parser_;
  Decision decision_;
  bool keep_alive_ = false;
  unsigned version_ = 11;
  std::optional<net::steady_timer> timer_;
};

// ---------------------------------------------------------------- start, accept, stop

void App::StartPorts() {
  for (const auto& [name, mode] : config_.policy.ports) {
    auto port = std::make_unique<Port>();
    port->name = name;
    port->mode = mode;
    Port* raw = port.get();
    if (mode == PortMode::kStream) {
      qel::StreamOptions options;
      options.stable_for = config_.stable_for;
      port->engine = std::make_unique<qel::StreamEngine>(
          engine_services_.value(), name, options,
          [this, raw](const qel::Reading& reading, bool changed) {
            net::post(ioc_,
                      [this, raw, reading, changed] { OnStreamReading(*raw, reading, changed); });
          });
      port->engine_thread = std::thread([engine = port->engine.get()] { engine->Run(); });
    } else {
      port->reader = std::make_unique<qel::OnDemandReader>(
          platform_, log_, name, [this, raw](const qel::Reading& reading) {
            net::post(ioc_, [this, raw, reading] {
              const bool changed = !raw->last || !raw->last->SameStateAs(reading);
              raw->last = reading;
              if (changed && config_.on_change) config_.on_change(raw->name, ReadingJson(reading));
              if (reading.ok) {
                ++raw->readings;
              } else {
                ++raw->errors[reading.error];
              }
            });
          });
    }
    ports_.emplace(name, std::move(port));
  }
}

void App::StopPorts() {
  for (auto& [name, port] : ports_) {
    if (port->engine) port->engine->Stop();
  }
  for (auto& [name, port] : ports_) {
    if (port->engine_thread.joinable()) port->engine_thread.join();
    port->reader.reset();
  }
}

void App::Accept() {
  acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) {
      if (connections >= config_.limits.max_connections) {
        ++refused_connections;
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        socket.set_option(tcp::no_delay(true), ec);
        std::make_shared<HttpSession>(std::move(socket), *this)->Start();
      }
      return Accept();
    }
    // Out of descriptors or similar: try again shortly rather than spin.
    log_.Line("accept: " + ec.message());
    auto timer = std::make_shared<net::steady_timer>(ioc_, std::chrono::milliseconds(100));
    timer->async_wait([this, timer](beast::error_code) { Accept(); });
  });
}

int App::Run() {
  engine_services_.emplace(
      qel::Services{platform_.serial, log_, platform_.locale, platform_.sleeper, platform_.states});
  beast::error_code ec;
  const auto address = net::ip::make_address(config_.listen_host, ec);
  if (ec) {
    std::fprintf(stderr, "qelscaled: bad listen address %s\n", config_.listen_host.c_str());
    return 2;
  }
  const tcp::endpoint endpoint(address, config_.listen_port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    std::fprintf(stderr, "qelscaled: cannot listen on %s:%u: %s\n", config_.listen_host.c_str(),
                 static_cast<unsigned>(config_.listen_port), ec.message().c_str());
    return 1;
  }
  StartPorts();
  const tcp::endpoint bound = acceptor_.local_endpoint();
  const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                                   : bound.address().to_string();
  std::printf("listening on http://%s:%u/\n", host.c_str(), static_cast<unsigned>(bound.port()));
  std::fflush(stdout);
  log_.Line("listening on http://" + host + ":" + std::to_string(bound.port()) + "/");

  net::signal_set signals(ioc_, SIGINT, SIGTERM);
  signals.async_wait([this](beast::error_code, int) {
    beast::error_code ignored;
    acceptor_.close(ignored);
    ioc_.stop();
  });
  Accept();
  ioc_.run();
  StopPorts();
  log_.Line("stopped");
  return 0;
}

}  // namespace

int Serve(const Config& config, qel::Services& platform, QueueLog& log) {
  App app(config, platform, log);
  return app.Run();
}

}  // namespace qeld
