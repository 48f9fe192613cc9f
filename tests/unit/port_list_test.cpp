// The port listing a server answers from: listed on the cache's worker, never on the caller's
// thread, at most once per max age however many ask, a slow or failing listing never holding a
// caller; and the Linux listing decided from sysfs without opening a device.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "port_list_cache.h"
#include "serial_ports_posix.h"

namespace {

using namespace std::chrono_literals;
using qel::PortListCache;
using qel::SerialPortEntry;

// A lister that counts its calls, names each listing by its number and notes its threads.
struct FakeLister {
  std::atomic<int> calls{0};
  std::atomic<bool> fail{false};
  std::mutex mutex;
  std::vector<std::thread::id> threads;

  PortListCache::Lister Function() {
    return [this] {
      {
        std::lock_guard<std::mutex> lock(mutex);
        threads.push_back(std::this_thread::get_id());
      }
      const int n = ++calls;
      if (fail) throw std::runtime_error("no listing");
      return std::vector<SerialPortEntry>{{"COM" + std::to_string(n), ""}};
    };
  }
};

struct FakeClock {
  std::atomic<PortListCache::Clock::rep> ticks{0};
  PortListCache::Now Function() {
    return
        [this] { return PortListCache::Clock::time_point(PortListCache::Clock::duration(ticks)); };
  }
  void Advance(PortListCache::Clock::duration by) { ticks += by.count(); }
};

std::string Name(const PortListCache::Ports& ports) {
  return ports && !ports->empty() ? ports->front().name : "(none)";
}

TEST(PortListCache, ListsOnItsWorkerOnceEveryMaxAgeAnsweringTheOldListMeanwhile) {
  FakeLister lister;
  FakeClock clock;
  PortListCache cache(lister.Function(), 2s, clock.Function());
  EXPECT_EQ(Name(cache.LatestOrFirst(10s)), "COM1");
  for (int i = 0; i < 500; ++i) cache.Latest();  // a flood within the max age
  clock.Advance(1999ms);
  EXPECT_EQ(Name(cache.Latest()), "COM1");
  cache.WaitIdle();
  EXPECT_EQ(lister.calls, 1);

  clock.Advance(1ms);
  EXPECT_EQ(Name(cache.Latest()), "COM1");  // stale: the old one, a new listing asked for
  for (int i = 0; i < 500; ++i) cache.Latest();
  cache.WaitIdle();
  EXPECT_EQ(Name(cache.Latest()), "COM2");
  EXPECT_EQ(lister.calls, 2);
  for (const std::thread::id id : lister.threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(PortListCache, ASlowListingHoldsNoCallerAndAFailedOneKeepsThePreviousList) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> calls{0};
  PortListCache cache(
      [&] {
        if (++calls == 1) opened.wait();
        if (calls == 3) throw std::runtime_error("no listing");
        return std::vector<SerialPortEntry>{{"COM" + std::to_string(calls.load()), ""}};
      },
      0s);
  // The first listing hangs: callers get no list, at once, and ask for no second listing.
  EXPECT_EQ(cache.Latest(), nullptr);
  EXPECT_EQ(cache.LatestOrFirst(1ms), nullptr);
  gate.set_value();
  cache.WaitIdle();
  EXPECT_EQ(Name(cache.Latest()), "COM1");  // and asks for the next (max age 0)
  cache.WaitIdle();
  EXPECT_EQ(Name(cache.Latest()), "COM2");  // the third listing fails...
  cache.WaitIdle();
  EXPECT_EQ(Name(cache.Latest()), "COM2");  // ...and COM2 is still the answer
  cache.WaitIdle();
  EXPECT_EQ(Name(cache.Latest()), "COM4");
}

TEST(PortListCache, EndsWhileAListingRuns) {
  std::promise<void> started;
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  auto cache = std::make_unique<PortListCache>(
      [&] {
        started.set_value();
        opened.wait();
        return std::vector<SerialPortEntry>{};
      },
      2s);
  started.get_future().wait();
  std::thread release([&] {
    std::this_thread::sleep_for(20ms);  // let the destructor start first, most of the time
    gate.set_value();
  });
  cache.reset();  // waits for the listing, then returns
  release.join();
}

// A /dev and a /sys/class/tty laid out in a temporary directory.
class SysfsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qel-ports-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(dev() + "/serial/by-id");
    std::filesystem::create_directories(sys());
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string dev() const { return root_ + "/dev"; }
  std::string sys() const { return root_ + "/sys/class/tty"; }
  void Node(const std::string& name) { std::ofstream(dev() + "/" + name) << ""; }
  void Line(const std::string& name, const std::string& type, const std::string& driver) {
    const std::string line = sys() + "/" + name;
    std::filesystem::create_directories(line);
    if (!type.empty()) std::ofstream(line + "/type") << type << "\n";
    if (driver.empty()) return;
    const std::string device = root_ + "/sys/devices/" + name;
    std::filesystem::create_directories(root_ + "/sys/bus/drivers/" + driver);
    std::filesystem::create_directories(device);
    std::filesystem::create_directory_symlink(root_ + "/sys/bus/drivers/" + driver,
                                              device + "/driver");
    std::filesystem::create_directory_symlink(device, line + "/device");
  }

  std::string root_;
};

TEST_F(SysfsTree, AUartIsKnownFromSysfsAloneAndNoDeviceIsOpened) {
  Node("ttyS0");
  Line("ttyS0", "4", "serial8250");  // a 16550A found by the probe
  Node("ttyS1");
  Line("ttyS1", "0", "serial8250");  // a preallocated line without a UART
  Node("ttyS2");
  Line("ttyS2", "", "serial");  // no type, a driver bound to a device of its own
  Node("ttyS3");
  Line("ttyS3", "", "serial8250");  // no type, only the 8250 catch-all
  Node("ttyS4");                    // no sysfs entry at all
  Node("ttyS10");
  Line("ttyS10", "4", "");
  Node("ttyUSB0");
  Node("ttyACM1");
  std::filesystem::create_symlink(dev() + "/ttyUSB0", dev() + "/serial/by-id/usb-FTDI-if00");

  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dev().c_str(), IN_OPEN), 0);
  std::vector<std::string> names;
  for (const SerialPortEntry& port : qel::ListSerialPortsUnder(dev(), sys())) {
    names.push_back(port.name.substr(dev().size() + 1));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"ttyS0", "ttyS2", "ttyS10", "ttyUSB0", "ttyACM1",
                                             "serial/by-id/usb-FTDI-if00"}));
  // Listing the directory opens it; no node in it may be opened.
  alignas(inotify_event) char events[4096];
  const ssize_t n = read(watch, events, sizeof events);
  for (ssize_t at = 0; at < n;) {
    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
    EXPECT_TRUE(event->len == 0 || (event->mask & IN_ISDIR) != 0) << "opened " << event->name;
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  close(watch);
}

}  // namespace
