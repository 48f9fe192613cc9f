#include "port_hub.h"

#include <algorithm>
#include <boost/asio/post.hpp>

#include "available_ports.h"
#include "reading_json.h"
#include "websocket_frame.h"

namespace qeld {
namespace {

namespace net = boost::asio;
using SystemClock = std::chrono::system_clock;

std::shared_ptr<const std::string> SharedFrame(const std::string& json) {
  return std::make_shared<const std::string>(TextFrame(json));
}

}  // namespace

PortHub::PortHub(net::io_context& ioc, const Config& config, qel::Services& platform, QueueLog& log)
    : ioc_(ioc), config_(config), platform_(platform), log_(log) {}

PortHub::~PortHub() { Stop(); }

void PortHub::Start() {
  StartPortListing();
  engine_services_.emplace(
      qel::Services{platform_.serial, log_, platform_.locale, platform_.sleeper, platform_.states});
  for (const auto& [name, mode] : config_.policy.ports) {
    auto port = std::make_unique<Port>();
    port->name = name;
    port->mode = mode;
    if (mode == PortMode::kStream) {
      StartStream(*port);
    } else {
      StartOnDemand(*port);
    }
    ports_.emplace(name, std::move(port));
  }
}

qel::NamedPort PortHub::NamedOf(const std::string& name) const {
  const auto it = config_.named_ports.find(name);
  return it == config_.named_ports.end() ? qel::WithoutOptions(name) : it->second;
}

void PortHub::StartStream(Port& port) {
  qel::StreamOptions options;
  options.stable_for = config_.stable_for;
  Port* raw = &port;
  // On the engine's thread, for every frame: a post (a copy of the reading and a wake of the
  // network thread) only for a change, or while a stable waiter waits for any newer frame.
  port.engine = std::make_unique<qel::StreamEngine>(
      engine_services_.value(), NamedOf(port.name), options,
      [this, raw, changes = std::uint64_t{0}](const qel::Reading& reading, bool changed) mutable {
        if (changed) ++changes;
        {
          std::lock_guard<std::mutex> lock(raw->latest.mutex);
          raw->latest.changes = changes;
          raw->latest.at = reading.at;
        }
        if (!changed && !raw->wants_every.load(std::memory_order_acquire)) return;
        net::post(ioc_, [this, raw, reading, changed] { OnReading(*raw, reading, changed); });
      });
  port.engine_thread = std::thread([engine = port.engine.get()] { engine->Run(); });
}

void PortHub::StartOnDemand(Port& port) {
  Port* raw = &port;
  port.reader = std::make_unique<qel::OnDemandReader>(
      platform_, log_, NamedOf(port.name), [this, raw](const qel::Reading& reading) {
        net::post(ioc_, [this, raw, reading] {
          OnReading(*raw, reading, !raw->last || !raw->last->SameStateAs(reading));
        });
      });
}

void PortHub::Stop() {
  for (auto& [name, port] : ports_) {
    if (port->engine) port->engine->Stop();
  }
  for (auto& [name, port] : ports_) {
    if (port->engine_thread.joinable()) port->engine_thread.join();
    port->reader.reset();
  }
}

Port* PortHub::Find(const std::string& name) {
  const auto it = ports_.find(name);
  return it == ports_.end() ? nullptr : it->second.get();
}

qel::Reading PortHub::Current(const Port& port) const {
  if (port.last) {
    qel::Reading current = *port.last;
    // Frames since that changed nothing carry the same state, only later.
    std::lock_guard<std::mutex> lock(port.latest.mutex);
    if (port.latest.changes == port.changes && port.latest.at > current.at) {
      current.at = port.latest.at;
    }
    return current;
  }
  qel::Reading none;
  none.port = port.name;
  none.stable = false;
  none.at = SystemClock::now();
  return none;
}

void PortHub::OnReading(Port& port, const qel::Reading& reading, bool changed) {
  port.last = reading;
  if (changed && port.mode == PortMode::kStream) ++port.changes;
  // A stream port counts its changes, an on-demand port every cycle.
  if (changed || port.mode == PortMode::kOnDemand) {
    if (reading.ok) {
      ++port.readings;
    } else {
      ++port.errors[reading.error];
    }
  }
  if (changed) {
    const std::string json = ReadingJson(reading);
    if (config_.on_change) config_.on_change(port.name, json);
    if (port.mode == PortMode::kStream) {
      port.last_frame = SharedFrame(json);
      FanOut(port);
    }
  }
  if (reading.ok && reading.stable && *reading.stable) ReleaseWaiters(port, reading);
}

void PortHub::FanOut(Port& port) {
  auto& subscribers = port.subscribers;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < subscribers.size(); ++i) {
    const std::shared_ptr<Subscriber> session = subscribers[i].lock();
    if (!session || session->closed()) continue;
    session->Send(port.last_frame);
    if (session->closed()) continue;
    // Moved only over a gap: a weak reference copied onto itself costs two atomic operations.
    if (kept != i) subscribers[kept] = std::move(subscribers[i]);
    ++kept;
  }
  subscribers.resize(kept);
}

void PortHub::ReleaseWaiters(Port& port, const qel::Reading& reading) {
  for (auto it = port.waiters.begin(); it != port.waiters.end();) {
    if (it->second.since < reading.at) {
      auto done = std::move(it->second.done);
      it = port.waiters.erase(it);
      done(reading);
    } else {
      ++it;
    }
  }
  if (port.waiters.empty()) port.wants_every.store(false, std::memory_order_release);
}

bool PortHub::RemoveWaiter(Port& port, std::uint64_t id) {
  const bool removed = port.waiters.erase(id) > 0;
  if (port.waiters.empty()) port.wants_every.store(false, std::memory_order_release);
  return removed;
}

void PortHub::Subscribe(Port& port, const std::shared_ptr<Subscriber>& session) {
  // Clients that come and go while the weight holds still leave expired entries, which keep
  // their sessions' memory: sweep them whenever the list has doubled.
  auto& list = port.subscribers;
  if (list.size() >= port.prune_at) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<Subscriber>& s) { return s.expired(); }),
               list.end());
    port.prune_at = std::max<std::size_t>(64, list.size() * 2);
  }
  list.push_back(session);
  session->Send(port.last_frame ? port.last_frame : SharedFrame(ReadingJson(Current(port))));
}

std::optional<std::uint64_t> PortHub::AddWaiter(Port& port, Port::Done done) {
  if (port.waiters.size() >= config_.limits.max_stable_waiters) return std::nullopt;
  const std::uint64_t id = ++next_waiter_;
  port.waiters.emplace(id, Port::Waiter{SystemClock::now(), std::move(done)});
  port.wants_every.store(true, std::memory_order_release);
  return id;
}

void PortHub::RequestCycle(Port& port, Port::Done done) {
  port.reader->Request([this, done = std::move(done)](const qel::Reading& reading) {
    net::post(ioc_, [done, reading] { done(reading); });
  });
}

void PortHub::Command(Port& port, qel::ScaleCommand command, CommandDone done,
                      std::shared_ptr<const qel::CommandTicket> ticket) {
  auto answer = [this, done = std::move(done)](qel::CommandResult result) {
    net::post(ioc_, [done, result] { done(result); });
  };
  if (port.engine) {
    port.engine->Command(command, std::move(answer), std::move(ticket));
  } else {
    port.reader->Command(command, std::move(answer), std::move(ticket));
  }
}

// A port named with options also shows its protocol, the line and the commands it has; the
// others keep the fields they always had.
std::string PortHub::ProtocolFields(const Port& port) const {
  const qel::NamedPort named = NamedOf(port.name);
  if (!named.has_options) return "";
  const qel::Protocol* protocol = port.engine ? port.engine->protocol() : named.protocol;
  const qel::LineFormat line = port.engine ? port.engine->line() : named.Line();
  std::string out = ",\"protocol\":";
  out += protocol != nullptr ? JsonString(protocol->id) : std::string("null");
  out += ",\"detect\":";
  out += named.detect ? "true" : "false";
  out += ",\"line\":";
  out += protocol != nullptr ? JsonString(qel::LineText(line)) : std::string("null");
  out += ",\"commands\":[";
  bool first = true;
  for (const qel::ScaleCommand command : {qel::ScaleCommand::kZero, qel::ScaleCommand::kTare}) {
    if (protocol == nullptr || protocol->command(command).empty()) continue;
    if (!first) out += ',';
    first = false;
    out += JsonString(qel::ScaleCommandName(command));
  }
  return out + "]";
}

std::string PortHub::PortsJson() const {
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
           ",\"state\":" + JsonString(state) + ProtocolFields(*port) +
           ",\"last\":" + (port->last ? ReadingJson(Current(*port)) : std::string("null")) + "}";
  }
  out += "],\"available\":" + AvailablePortsJson() + "}";
  return out;
}

void PortHub::WriteMetrics(PrometheusText& out) const {
  out.Family("qelscaled_cycles_total", "Driver cycles run for on-demand readings.", "counter");
  for (const auto& [name, port] : ports_) {
    if (port->reader) out.Sample({{"port", name}}, port->reader->cycles());
  }
  out.Family("qelscaled_port_opens_total", "Opens of a stream port.", "counter");
  for (const auto& [name, port] : ports_) {
    if (port->engine) out.Sample({{"port", name}}, port->engine->counters().opens);
  }
  out.Family("qelscaled_frames_total", "Frames decoded on a stream port.", "counter");
  for (const auto& [name, port] : ports_) {
    if (port->engine) out.Sample({{"port", name}}, port->engine->counters().frames);
  }
  out.Family("qelscaled_readings_total",
             "Readings: on-demand cycles with a weight, and changes to a new weight on a stream "
             "port.",
             "counter");
  for (const auto& [name, port] : ports_) out.Sample({{"port", name}}, port->readings);
  out.Family("qelscaled_errors_total", "Readings without a weight, by kind.", "counter");
  for (const auto& [name, port] : ports_) {
    for (const auto kind : {qel::ReadingError::kNoReading, qel::ReadingError::kPortUnavailable,
                            qel::ReadingError::kSetupFailed, qel::ReadingError::kReadFailed,
                            qel::ReadingError::kOverload, qel::ReadingError::kUnderZero,
                            qel::ReadingError::kScaleBusy}) {
      const auto it = port->errors.find(kind);
      out.Sample({{"port", name}, {"kind", qel::ReadingErrorName(kind)}},
                 it == port->errors.end() ? 0 : it->second);
    }
  }
}

}  // namespace qeld
