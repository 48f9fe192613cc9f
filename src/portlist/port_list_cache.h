// The machine's serial ports as a server answers them: listed on a worker thread of the
// cache's own and kept for a while, so that a caller on a network thread never waits for the
// system's enumeration (sysfs, SetupDi and the registry) and a flood of requests lists the
// ports at most once per `max_age`. The lister is a seam: the service passes ListSerialPorts,
// tests a fake.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "serial_ports.h"

namespace qel {

class PortListCache {
 public:
  using Clock = std::chrono::steady_clock;
  using Lister = std::function<std::vector<SerialPortEntry>()>;
  using Now = std::function<Clock::time_point()>;
  using Ports = std::shared_ptr<const std::vector<SerialPortEntry>>;

  // Starts the worker, which begins the first listing at once.
  PortListCache(Lister lister, Clock::duration max_age, Now now = Clock::now);
  // Waits for the listing the worker may be running, then ends it.
  ~PortListCache();
  PortListCache(const PortListCache&) = delete;
  PortListCache& operator=(const PortListCache&) = delete;

  // The latest listing, at once. When it is older than max_age, the worker is asked for a new
  // one and the old one is answered meanwhile. nullptr while no listing has ended yet.
  Ports Latest();
  // Latest(), except that while no listing has ended yet it waits up to `wait` for the first.
  Ports LatestOrFirst(Clock::duration wait);
  // Returns once no listing is asked for or running.
  void WaitIdle();

 private:
  void Run();
  bool Stale() const;  // with mutex_ held

  const Lister lister_;
  const Clock::duration max_age_;
  const Now now_;
  std::mutex mutex_;
  std::condition_variable wake_;  // the worker: a listing is wanted, or the end
  std::condition_variable done_;  // callers: a listing ended
  Ports ports_;
  Clock::time_point attempted_at_{};  // when the last listing ended
  std::uint64_t attempts_ = 0;        // listings ended, the failed ones too
  bool wanted_ = true;
  bool running_ = false;
  bool stopping_ = false;
  std::thread worker_;  // last: it starts on the members above
};

}  // namespace qel
