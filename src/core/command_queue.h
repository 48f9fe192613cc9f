// Zero and tare waiting for their turn on a port. A command changes what a cashier charges
// for, so it is carried out only while someone still wants it: each has a send-by time (the
// protocol's answer window from when it was asked), a client that hangs up withdraws it, and
// a port holds only a few at once. The stream engine and the on-demand reader share it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "protocol.h"
#include "scale_link.h"

namespace qel {

// At most this many commands per port are waiting or being answered; one more is refused.
inline constexpr std::size_t kMaxWaitingCommands = 4;

// Held by whoever asked for a command: withdrawing it before it went to the scale means it
// never goes. Safe from any thread.
class CommandTicket {
 public:
  void Withdraw() { withdrawn_.store(true); }
  bool withdrawn() const { return withdrawn_.load(); }

 private:
  std::atomic<bool> withdrawn_{false};
};

class CommandQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Done = std::function<void(CommandResult)>;

  struct Entry {
    ScaleCommand command = ScaleCommand::kZero;
    Done done;  // answers the asker, and frees the entry's place
    std::shared_ptr<const CommandTicket> ticket;
    Clock::time_point asked{};
  };

  CommandQueue() = default;
  CommandQueue(const CommandQueue&) = delete;
  CommandQueue& operator=(const CommandQueue&) = delete;
  // Whoever still waits is answered kNoAnswer.
  ~CommandQueue() { FailAll(CommandResult::kNoAnswer); }

  // Thread-safe. Queues the command, or answers kTooManyCommands at once when the port
  // already has kMaxWaitingCommands waiting or being answered. False when refused.
  bool Push(ScaleCommand command, Done done, std::shared_ptr<const CommandTicket> ticket,
            Clock::time_point now);
  // Thread-safe. The next command to send: those withdrawn, or asked longer than `window`
  // ago, are answered kNoAnswer and dropped unsent on the way. The entry's `done` must be
  // called once it is answered.
  std::optional<Entry> Next(Clock::time_point now, std::chrono::milliseconds window);
  // Thread-safe. Every waiting command is answered `result`.
  void FailAll(CommandResult result);
  bool empty() const;

 private:
  mutable std::mutex mutex_;
  std::deque<Entry> waiting_;
  // Waiting or taken and not yet answered; shared with the entries' answers, which may run
  // after the queue is gone.
  std::shared_ptr<std::atomic<std::size_t>> outstanding_ =
      std::make_shared<std::atomic<std::size_t>>(0);
};

}  // namespace qel
