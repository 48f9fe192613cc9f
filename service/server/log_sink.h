// The service's log: driver messages and service events go to their output (stderr, or the
// system's log when the service manager runs us) from a thread of its own, so neither a
// driver cycle nor the network loop ever waits on it. When the queue is full, lines are
// dropped and counted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "services.h"

namespace qeld {

enum class Severity { kInfo, kError };

// Where the log's lines end up: one line, without the program's name or a line end. Called
// on the log's own thread only.
using LogOutput = std::function<void(Severity severity, const std::string& line)>;

// Each line as "qelscaled: LINE" on stderr.
LogOutput StderrOutput();

class QueueLog final : public qel::MessageSink {
 public:
  explicit QueueLog(LogOutput output = StderrOutput());
  ~QueueLog() override;
  QueueLog(const QueueLog&) = delete;
  QueueLog& operator=(const QueueLog&) = delete;

  // A driver message box, as a log line "caption: text". Never blocks.
  void Show(std::string_view text, std::string_view caption, qel::MessageIcon icon) override;
  // One line of the service's own. Never blocks.
  void Line(std::string line, Severity severity = Severity::kInfo);
  std::uint64_t dropped() const;

 private:
  void Write();

  struct Entry {
    Severity severity;
    std::string text;
  };

  static constexpr std::size_t kMaxQueued = 1000;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  LogOutput output_;
  std::deque<Entry> lines_;
  bool stop_ = false;
  std::uint64_t dropped_ = 0;
  std::thread writer_;
};

}  // namespace qeld
