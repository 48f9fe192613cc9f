// On-demand readings that share the driver's cycles. Each reading is one whole cycle of the
// driver (Qelscale::GetWeight_: open, 600 ms, read, close, decode) on a worker thread of the
// port. A request is answered by the first cycle that opens the port after the request
// arrived, so concurrent requests share cycles and no answer is older than its request.
// Between cycles the port is closed, as the driver keeps it. A port named with options is
// read in its protocol instead: open with its line, ask (a polled scale), take the first
// frame, close; zero and tare are cycles of their own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "command_queue.h"
#include "named_port.h"
#include "reading.h"
#include "scale_link.h"
#include "services.h"

namespace qel {

class Qelscale;
class ReadRecorder;

// A port named without options: the driver's frames.
NamedPort WithoutOptions(std::string name);

// A message sink that keeps the first message of a cycle.
class CapturedMessage : public MessageSink {
 public:
  std::optional<std::string> message;
};

class OnDemandReader {
 public:
  using Callback = std::function<void(const Reading&)>;

  // `platform` provides serial port, locale and pause; every driver message goes to `log`
  // (which must not block) and into the reading's message. `on_cycle`, if given, sees every
  // cycle's reading once, on the worker thread, before the requests are answered.
  OnDemandReader(Services& platform, MessageSink& log, std::string port, Callback on_cycle = {});
  OnDemandReader(Services& platform, MessageSink& log, NamedPort named, Callback on_cycle = {});
  ~OnDemandReader();
  OnDemandReader(const OnDemandReader&) = delete;
  OnDemandReader& operator=(const OnDemandReader&) = delete;

  // Thread-safe. `done` runs on the port's worker thread once the answering cycle ended.
  void Request(Callback done);
  // Thread-safe. `done` runs on the port's worker thread once the scale answered or the wait
  // ended; at once when the protocol has no such command or the port has its most commands
  // waiting (CommandQueue). A `ticket` withdrawn before the command is sent keeps it unsent.
  // Readings waiting go before commands: a reading waits for at most the one command on the
  // wire.
  void Command(ScaleCommand command, CommandQueue::Done done,
               std::shared_ptr<const CommandTicket> ticket = nullptr);
  const NamedPort& named() const { return named_; }

  const std::string& port() const { return port_; }
  std::uint64_t cycles() const;

 private:
  void Work();
  // One cycle in the port's protocol.
  Reading ProtocolCycle(Services& services);
  // protocol=auto: detects the protocol and line unless known; false with the failure set.
  bool Resolve(Services& services, Reading& failure);
  CommandResult CommandCycle(Services& services, ScaleCommand command);
  // The answer window of a command asked now: the known protocol's, else the option's or the
  // default one.
  std::chrono::milliseconds CommandWindow() const;
  Reading DriverCycle(Qelscale& driver, CapturedMessage& captured);
  // One reading, in the port's protocol or the driver's, with what the bytes were when none
  // read as a frame.
  Reading ReadingCycle(Services& services, Qelscale& driver, CapturedMessage& sink,
                       ReadRecorder& recorder);
  // A send or read failed mid-cycle: the message shown, the port closed.
  Reading Failed(Services& services, PortHandle handle, std::uint32_t code);

  Services& platform_;
  MessageSink& log_;
  std::string port_;
  NamedPort named_;  // as named; read from any thread
  // Worker thread: how the port is spoken to, once its protocol is named or detected.
  std::optional<PortProfile> profile_;
  CommandQueue commands_;
  Callback on_cycle_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Callback> pending_;
  bool stop_ = false;
  std::uint64_t cycles_ = 0;
  std::thread worker_;
};

}  // namespace qel
