// The service's log: driver messages and service events go to stderr from a thread of its
// own, so neither a driver cycle nor the network loop ever waits on it. When the queue is
// full, lines are dropped and counted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "services.h"

namespace qeld {

class QueueLog final : public qel::MessageSink {
 public:
  QueueLog();
  ~QueueLog() override;
  QueueLog(const QueueLog&) = delete;
  QueueLog& operator=(const QueueLog&) = delete;

  // A driver message box, as a log line "caption: text". Never blocks.
  void Show(std::string_view text, std::string_view caption, qel::MessageIcon icon) override;
  // One line of the service's own. Never blocks.
  void Line(std::string line);
  std::uint64_t dropped() const;

 private:
  void Write();

  static constexpr std::size_t kMaxQueued = 1000;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> lines_;
  bool stop_ = false;
  std::uint64_t dropped_ = 0;
  std::thread writer_;
};

}  // namespace qeld
