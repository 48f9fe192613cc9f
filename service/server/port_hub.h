// The ports as the service serves them: their stream engines and on-demand readers on
// threads of their own, one handler for the readings of both kinds (last reading, counters,
// the change hook, WebSocket subscribers, stable waiters), the ports' JSON and their metrics.
// Lives on the network thread; the readers reach it through posts.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "log_sink.h"
#include "on_demand.h"
#include "prometheus_text.h"
#include "reading.h"
#include "server.h"
#include "weight_stream.h"

namespace qeld {

// A WebSocket client of a stream port, whatever stream it runs on.
class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual void Send(const std::shared_ptr<const std::string>& frame) = 0;
  virtual bool closed() const = 0;
};

struct Port {
  using Done = std::function<void(const qel::Reading&)>;
  // A request waiting for a stable reading newer than itself.
  struct Waiter {
    std::chrono::system_clock::time_point since;
    Done done;
  };

  std::string name;
  PortMode mode = PortMode::kOnDemand;
  std::unique_ptr<qel::StreamEngine> engine;
  std::thread engine_thread;
  std::unique_ptr<qel::OnDemandReader> reader;

  std::optional<qel::Reading> last;
  std::shared_ptr<const std::string> last_frame;  // `last` as a WebSocket frame
  std::vector<std::weak_ptr<Subscriber>> subscribers;
  std::size_t prune_at = 64;  // subscriber entries at which the gone ones are swept out
  std::map<std::uint64_t, Waiter> waiters;

  std::uint64_t readings = 0;
  std::map<qel::ReadingError, std::uint64_t> errors;

  // A stream port's frames that change nothing reach the network thread only while stable
  // waiters need them; the time of the latest one is kept here for the current reading.
  std::atomic<bool> wants_every{false};
  std::uint64_t changes = 0;  // changes handled on the network thread
  struct Latest {
    mutable std::mutex mutex;
    std::uint64_t changes = 0;  // changes the engine had published by `at`
    std::chrono::system_clock::time_point at{};
  } latest;
};

class PortHub {
 public:
  PortHub(boost::asio::io_context& ioc, const Config& config, qel::Services& platform,
          QueueLog& log);
  ~PortHub();
  PortHub(const PortHub&) = delete;
  PortHub& operator=(const PortHub&) = delete;

  // Starts a reader or stream engine for every port of the policy; Stop() ends them.
  void Start();
  void Stop();

  Port* Find(const std::string& name);

  // The port's last reading, or one saying there is none yet.
  qel::Reading Current(const Port& port) const;
  // Sends the port's current state, then each change.
  void Subscribe(Port& port, const std::shared_ptr<Subscriber>& session);
  // `done` runs on the network thread with the next stable reading newer than now. nullopt:
  // the port already has its most waiters (Limits::max_stable_waiters).
  std::optional<std::uint64_t> AddWaiter(Port& port, Port::Done done);
  // False when the waiter was already answered.
  bool RemoveWaiter(Port& port, std::uint64_t id);
  // An on-demand port's next cycle; `done` runs on the network thread.
  void RequestCycle(Port& port, Port::Done done);

  using CommandDone = std::function<void(qel::CommandResult)>;
  // Zero or tare on the port's thread; `done` runs on the network thread. Withdrawing
  // `ticket` before the command went to the scale keeps it from going.
  void Command(Port& port, qel::ScaleCommand command, CommandDone done,
               std::shared_ptr<const qel::CommandTicket> ticket);

  std::string PortsJson() const;
  void WriteMetrics(PrometheusText& out) const;

 private:
  qel::NamedPort NamedOf(const std::string& name) const;
  std::string ProtocolFields(const Port& port) const;
  void StartStream(Port& port);
  void StartOnDemand(Port& port);
  // Every reading of either kind; `changed`: value, stability or error differ from the last.
  void OnReading(Port& port, const qel::Reading& reading, bool changed);
  void FanOut(Port& port);
  void ReleaseWaiters(Port& port, const qel::Reading& reading);

  boost::asio::io_context& ioc_;
  const Config& config_;
  qel::Services& platform_;
  QueueLog& log_;
  std::optional<qel::Services> engine_services_;  // the platform with the service's log
  std::map<std::string, std::unique_ptr<Port>> ports_;
  std::uint64_t next_waiter_ = 0;
};

}  // namespace qeld
