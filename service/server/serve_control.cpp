#include "serve_control.h"

namespace qeld {

void ServeControl::Attach(std::function<void()> stop) {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = std::move(stop);
  if (stop_asked_) stop_();
}

void ServeControl::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = nullptr;
}

void ServeControl::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_asked_) return;
  stop_asked_ = true;
  if (stop_) stop_();
}

}  // namespace qeld
