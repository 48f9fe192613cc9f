#include "port_list_cache.h"

#include <exception>
#include <utility>

namespace qel {

PortListCache::PortListCache(Lister lister, Clock::duration max_age, Now now)
    : lister_(std::move(lister)),
      max_age_(max_age),
      now_(std::move(now)),
      worker_([this] { Run(); }) {}

PortListCache::~PortListCache() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

bool PortListCache::Stale() const { return now_() - attempted_at_ >= max_age_; }

PortListCache::Ports PortListCache::Latest() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!wanted_ && !running_ && Stale()) {
    wanted_ = true;
    wake_.notify_one();
  }
  return ports_;
}

PortListCache::Ports PortListCache::LatestOrFirst(Clock::duration wait) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait_for(lock, wait, [this] { return attempts_ > 0; });
  }
  return Latest();
}

void PortListCache::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return !wanted_ && !running_; });
}

void PortListCache::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return wanted_ || stopping_; });
    if (stopping_) return;
    wanted_ = false;
    running_ = true;
    lock.unlock();
    Ports fresh;
    try {
      fresh = std::make_shared<const std::vector<SerialPortEntry>>(lister_());
    } catch (const std::exception&) {
      // The previous listing stays, and counts as fresh as a new one would: a system that
      // fails to list is not asked again on every request.
    }
    const Clock::time_point at = now_();
    lock.lock();
    if (fresh) ports_ = std::move(fresh);
    attempted_at_ = at;
    ++attempts_;
    running_ = false;
    done_.notify_all();
  }
}

}  // namespace qel
