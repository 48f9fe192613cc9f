// What a host other than the console needs of Serve(): word that it is listening, and a way
// to stop it from another thread (the service manager's handler), ending Serve() as SIGINT
// does. Serve() attaches the stop while it runs; a stop asked for earlier takes effect as
// soon as it attaches.
#pragma once

#include <functional>
#include <mutex>

namespace qeld {

class ServeControl {
 public:
  // Called by Serve() once every listener is bound, before it serves.
  std::function<void()> on_listening;

  // Serve()'s side: `stop` must not block (it posts to the network loop).
  void Attach(std::function<void()> stop);
  void Detach();
  // Any thread; at most once takes effect.
  void Stop();

 private:
  std::mutex mutex_;
  std::function<void()> stop_;
  bool stop_asked_ = false;
};

}  // namespace qeld
