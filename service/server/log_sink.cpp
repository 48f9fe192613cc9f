#include "log_sink.h"

#include <cstdio>

namespace qeld {

LogOutput StderrOutput() {
  return [](Severity, const std::string& line) {
    const std::string text = "qelscaled: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  };
}

QueueLog::QueueLog(LogOutput output) : output_(std::move(output)) {
  writer_ = std::thread([this] { Write(); });
}

QueueLog::~QueueLog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  writer_.join();
}

void QueueLog::Show(std::string_view text, std::string_view caption, qel::MessageIcon icon) {
  std::string line(caption);
  line += ": ";
  line.append(text);
  Line(std::move(line), icon == qel::MessageIcon::kCritical ? Severity::kError : Severity::kInfo);
}

void QueueLog::Line(std::string line, Severity severity) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.size() >= kMaxQueued) {
      ++dropped_;
      return;
    }
    lines_.push_back({severity, std::move(line)});
  }
  wake_.notify_one();
}

std::uint64_t QueueLog::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void QueueLog::Write() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !lines_.empty(); });
    if (lines_.empty()) return;  // stopping, and everything is written
    const Entry entry = std::move(lines_.front());
    lines_.pop_front();
    lock.unlock();
    output_(entry.severity, entry.text);
    lock.lock();
  }
}

}  // namespace qeld
