// On-demand readings that share the driver's cycles. Each reading is one whole cycle of the
// driver (Qelscale::GetWeight_: open, 600 ms, read, close, decode) on a worker thread of the
// port. A request is answered by the first cycle that opens the port after the request
// arrived, so concurrent requests share cycles and no answer is older than its request.
// Between cycles the port is closed, as the driver keeps it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reading.h"
#include "services.h"

namespace qel {

class OnDemandReader {
 public:
  using Callback = std::function<void(const Reading&)>;

  // `platform` provides serial port, locale and pause; every driver message goes to `log`
  // (which must not block) and into the reading's message. `on_cycle`, if given, sees every
  // cycle's reading once, on the worker thread, before the requests are answered.
  OnDemandReader(Services& platform, MessageSink& log, std::string port, Callback on_cycle = {});
  ~OnDemandReader();
  OnDemandReader(const OnDemandReader&) = delete;
  OnDemandReader& operator=(const OnDemandReader&) = delete;

  // Thread-safe. `done` runs on the port's worker thread once the answering cycle ended.
  void Request(Callback done);

  const std::string& port() const { return port_; }
  std::uint64_t cycles() const;

 private:
  void Work();

  Services& platform_;
  MessageSink& log_;
  std::string port_;
  Callback on_cycle_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Callback> pending_;
  bool stop_ = false;
  std::uint64_t cycles_ = 0;
  std::thread worker_;
};

}  // namespace qel
