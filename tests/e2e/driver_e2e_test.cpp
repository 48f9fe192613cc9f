// The driver object with the real Linux platform, against virtual scales on
// pseudo-terminals. Every call takes at least 600 ms, so each test checks a whole story.
#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform_services.h"
#include "posix_platform.h"
#include "qelscale.h"
#include "scale_process.h"

namespace qel::e2e {
namespace {

using Clock = std::chrono::steady_clock;

struct Message {
  std::string text;
  std::string caption;
  int critical;
};

// Receives the driver's messages through the host handler, as a real host would.
class MessageLog {
 public:
  MessageLog() { posix::SetMessageHandler(&MessageLog::Receive, this); }
  ~MessageLog() { posix::SetMessageHandler(nullptr, nullptr); }
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;

  std::vector<Message> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(messages_, {});
  }

 private:
  static void Receive(const char* text, const char* caption, int critical, void* context) {
    auto* self = static_cast<MessageLog*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->messages_.push_back({text, caption, critical});
  }

  std::mutex mutex_;
  std::vector<Message> messages_;
};

// Only "not blocked": a busy 2-core machine stretches any tighter bound. The latencies
// themselves are figures for benchmarks/ (qel_call_latency), not assertions.
constexpr long kNotBlockedMs = 3000;

class DriverE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    // A decimal-point locale unless a test chooses otherwise.
    setenv("LC_ALL", "C", 1);
  }

  static long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
  }

  static LinkState& Link() { return PlatformServices().states.ForCurrentThread(); }

  MessageLog log_;
};

TEST_F(DriverE2E, ProbeThenReadingsFollowTheScale) {
  ScaleProcess scale;
  Qelscale driver(PlatformServices());
  EXPECT_TRUE(driver.OpenComPort_(scale.port()));

  const auto start = Clock::now();
  EXPECT_EQ(driver.GetWeight_(), "1.234");
  EXPECT_GE(ElapsedMs(start), 600);
  // About 576 bytes arrive in 600 ms: one read takes exactly 255 of them.
  EXPECT_EQ(Link().BytesRead, 255);

  // A zero reading keeps its decimals, unlike "no reading".
  ASSERT_EQ(scale.Command("weight 0"), "ok");
  EXPECT_EQ(driver.GetWeight_(), "0.000");
  ASSERT_EQ(scale.Command("weight 2.5"), "ok");
  EXPECT_EQ(driver.GetWeight_(), "2.500");
  EXPECT_TRUE(log_.Take().empty());
}

TEST_F(DriverE2E, UserLocaleChoosesTheDecimalSeparator) {
  const char* comma_locale = nullptr;
  for (const char* name : {"de_DE.UTF-8", "ru_RU.UTF-8", "de_DE.utf8", "ru_RU.utf8"}) {
    const locale_t loc = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
    if (loc != static_cast<locale_t>(0)) {
      freelocale(loc);
      comma_locale = name;
      break;
    }
  }
  if (comma_locale == nullptr) GTEST_SKIP() << "no decimal-comma locale installed";
  ScaleProcess scale({"--weight", "12.5"});
  setenv("LC_ALL", comma_locale, 1);
  Qelscale driver(PlatformServices());
  driver.OpenComPort_(scale.port());
  EXPECT_EQ(driver.GetWeight_(), "12,500");
}

TEST_F(DriverE2E, SilentPortGivesNoReadingAndNoMessageButStaysChosen) {
  ScaleProcess scale({"--mode", "silent"});
  Qelscale driver(PlatformServices());
  const auto start = Clock::now();
  EXPECT_FALSE(driver.OpenComPort_(scale.port()));
  const long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 600 + 255);  // the pause, then the whole read timeout
  EXPECT_LT(elapsed, 600 + kNotBlockedMs);
  EXPECT_TRUE(log_.Take().empty());

  // The failed probe left the port chosen: once the scale speaks, the next reading is its.
  ASSERT_EQ(scale.Command("mode normal"), "ok");
  EXPECT_EQ(driver.GetWeight_(), "1.234");
}

TEST_F(DriverE2E, NegativeWeightPassesTheProbeButIsNoReading) {
  ScaleProcess scale({"--mode", "negative"});
  Qelscale driver(PlatformServices());
  EXPECT_TRUE(driver.OpenComPort_(scale.port()));
  EXPECT_EQ(driver.GetWeight_(), "0");
  EXPECT_TRUE(log_.Take().empty());
}

class NoFrameE2E : public DriverE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoFrameE2E, NoiseOrACutFrameIsNoReading) {
  ScaleProcess scale({"--mode", GetParam()});
  Qelscale driver(PlatformServices());
  EXPECT_FALSE(driver.OpenComPort_(scale.port()));
  EXPECT_EQ(driver.GetWeight_(), "0");
  EXPECT_TRUE(log_.Take().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, NoFrameE2E, ::testing::Values("garbage", "truncated"));

TEST_F(DriverE2E, AbsentPortsFailAtOnceWithEnoent) {
  Qelscale driver(PlatformServices());
  for (const std::string port : {"COM99", "NUL", "/nonexistent/tty"}) {
    const auto start = Clock::now();
    EXPECT_FALSE(driver.OpenComPort_(port));
    EXPECT_LT(ElapsedMs(start), kNotBlockedMs) << "not held up when the port did not open";
    const std::vector<Message> messages = log_.Take();
    ASSERT_EQ(messages.size(), 1u) << port;
    EXPECT_EQ(messages[0].text, "Не могу открыть порт " + port + ": 2");
    EXPECT_EQ(messages[0].caption, "Qel_weigher");
    EXPECT_EQ(messages[0].critical, 0);
  }
  EXPECT_EQ(driver.GetWeight_(), "0");
  EXPECT_EQ(log_.Take().size(), 1u);
}

TEST_F(DriverE2E, PortHeldElsewhereFailsWithEbusy) {
  ScaleProcess scale;
  const int holder = open(scale.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  Qelscale driver(PlatformServices());
  EXPECT_FALSE(driver.OpenComPort_(scale.port()));
  std::vector<Message> messages = log_.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Не могу открыть порт " + scale.port() + ": 16");
  EXPECT_EQ(messages[0].critical, 0);

  close(holder);
  EXPECT_EQ(driver.GetWeight_(), "1.234");
}

TEST_F(DriverE2E, NonTerminalsAreRefusedAndNeverWritten) {
  char dir_template[] = "/tmp/qel_e2e_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string file = std::string(dir_template) + "/not_a_port";
  const std::string content = "=432.100=432.100=432.100\n";
  std::ofstream(file) << content;
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);

  Qelscale driver(PlatformServices());
  for (const std::string& port : {file, std::string("/dev/null")}) {
    EXPECT_FALSE(driver.OpenComPort_(port));
    const std::vector<Message> messages = log_.Take();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Не могу открыть порт " + port + ": 25");
  }
  struct stat after {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  std::stringstream now;
  now << std::ifstream(file).rdbuf();
  EXPECT_EQ(now.str(), content);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  unlink(file.c_str());
  rmdir(dir_template);
}

TEST_F(DriverE2E, DeviceVanishingMidCycleTakesTheReadFailurePath) {
  ScaleProcess scale({"--mode", "hangup"});
  Qelscale driver(PlatformServices());
  EXPECT_FALSE(driver.OpenComPort_(scale.port()));
  const std::vector<Message> messages = log_.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Ошибка чтения данных из СОМ-порта:5");
  EXPECT_EQ(messages[0].caption, "Qel_scale.dll");
  EXPECT_EQ(messages[0].critical, 1);
  EXPECT_TRUE(scale.WaitForExit(2000));
}

TEST_F(DriverE2E, EachThreadKeepsItsOwnPort) {
  ScaleProcess first({"--weight", "1"});
  ScaleProcess second({"--weight", "2"});
  Qelscale main_driver(PlatformServices());
  std::string results[2];
  auto run = [&results](int index, const std::string& port) {
    Qelscale driver(PlatformServices());
    if (driver.OpenComPort_(port)) results[index] = driver.GetWeight_();
  };
  std::thread a(run, 0, first.port());
  std::thread b(run, 1, second.port());
  a.join();
  b.join();
  EXPECT_EQ(results[0], "1.000");
  EXPECT_EQ(results[1], "2.000");
  EXPECT_EQ(Link().PortName, "COM1") << "other threads' choices never reach this one";
}

// Passes every call to the real back end except those for COM1, which are recorded and
// refused, so the test never touches the host's own first serial port.
class Com1Guard final : public SerialApi {
 public:
  OpenOutcome Open(const std::string& device) override {
    opened.push_back(device);
    if (device == "COM1:") return {kInvalidPortHandle, ENOENT};
    return real.Open(device);
  }
  void Purge(PortHandle h) override { real.Purge(h); }
  SysStatus SetState(PortHandle h, const LineSettings& s) override { return real.SetState(h, s); }
  SysStatus SetTimeouts(PortHandle h, const CommTimeouts& t) override {
    return real.SetTimeouts(h, t);
  }
  ReadOutcome Read(PortHandle h, std::uint8_t* b, std::uint32_t n) override {
    return real.Read(h, b, n);
  }
  SysStatus Write(PortHandle h, const std::uint8_t* d, std::uint32_t n) override {
    return real.Write(h, d, n);
  }
  void Close(PortHandle h) override { real.Close(h); }

  SerialApi& real = PlatformServices().serial;
  std::vector<std::string> opened;
};

TEST_F(DriverE2E, CreatingAnObjectResetsTheThreadsPortToCom1) {
  ScaleProcess scale;
  Com1Guard serial;
  Services& platform = PlatformServices();
  Services services{serial, platform.messages, platform.locale, platform.sleeper, platform.states};
  Qelscale a(services);
  EXPECT_TRUE(a.OpenComPort_(scale.port()));
  Qelscale b(services);
  EXPECT_EQ(a.GetWeight_(), "0");
  ASSERT_EQ(serial.opened.size(), 2u);
  EXPECT_EQ(serial.opened[1], "COM1:");
  const std::vector<Message> messages = log_.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Не могу открыть порт COM1: 2");
}

}  // namespace
}  // namespace qel::e2e
