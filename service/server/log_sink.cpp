#include "log_sink.h"

#include <cstdio>

namespace qeld {

QueueLog::QueueLog() {
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

void QueueLog::Show(std::string_view text, std::string_view caption, qel::MessageIcon) {
  std::string line(caption);
  line += ": ";
  line.append(text);
  Line(std::move(line));
}

void QueueLog::Line(std::string line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.size() >= kMaxQueued) {
      ++dropped_;
      return;
    }
    lines_.push_back("qelscaled: " + std::move(line) + "\n");
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
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    lock.unlock();
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    lock.lock();
  }
}

}  // namespace qeld
