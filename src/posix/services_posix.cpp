// The Linux platform bundle handed to every driver object.
#include <chrono>
#include <thread>

#include "locale_posix.h"
#include "message_box_posix.h"
#include "platform_services.h"
#include "serial_posix.h"

namespace qel {
namespace {

class ThreadSleeper final : public Sleeper {
 public:
  void SleepMs(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

// One LinkState per thread, as the driver's apartment threading requires.
class ThreadLocalStates final : public LinkStateStore {
 public:
  LinkState& ForCurrentThread() override {
    thread_local LinkState state;
    return state;
  }
};

}  // namespace

Services& PlatformServices() {
  static ThreadSleeper sleeper;
  static ThreadLocalStates states;
  static Services services{posix::PosixSerialApi(), posix::PosixMessageSink(),
                           posix::PosixLocaleSource(), sleeper, states};
  return services;
}

}  // namespace qel
