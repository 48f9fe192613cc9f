#include "port_opening.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "module_api.h"
#include "on_demand.h"
#include "weight_stream.h"

namespace qel {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;

TEST(ComPortNumber, TakesOnlyPlainComNamesOfOneToFourDigits) {
  EXPECT_EQ(ComPortNumber("COM1"), 1u);
  EXPECT_EQ(ComPortNumber("com12"), 12u);
  EXPECT_EQ(ComPortNumber("CoM9999"), 9999u);
  for (const char* name : {"COM", "COM0", "COM012", "COM1X", "COM10000", "LPT1", " COM1",
                           "COM1:", "\\\\.\\COM12", ""}) {
    EXPECT_EQ(ComPortNumber(name), std::nullopt) << name;
  }
  // The driver's naming reads the same digits without the length limit: whatever it names
  // in the device namespace, it always has.
  EXPECT_EQ(DeviceName("COM10000"), "\\\\.\\COM10000");
}

// The stream opens its port once and stops at the first failure, so Run returns at once.
std::string StreamDeviceFor(const std::string& port) {
  FakePlatform platform;
  platform.serial.open_error = 2;
  StreamEngine* self = nullptr;
  StreamEngine engine(platform.services, port, StreamOptions{},
                      [&](const Reading&, bool) { self->Stop(); });
  self = &engine;
  engine.Run();
  return platform.serial.last_device;
}

TEST(StreamEngine, NamesItsDeviceAsTheDriverDoes) {
  EXPECT_EQ(StreamDeviceFor("COM12"), "\\\\.\\COM12");
  EXPECT_EQ(StreamDeviceFor("COM5"), "COM5:");
  EXPECT_EQ(StreamDeviceFor("\\\\.\\COM3"), "\\\\.\\COM3");
  EXPECT_EQ(StreamDeviceFor("/dev/ttyUSB0"), "/dev/ttyUSB0:");
}

TEST(StreamEngine, SetsUpTheLineAsTheDriverWithItsOwnTimeoutsAndReportsSetupFailures) {
  FakePlatform platform;
  platform.serial.set_timeouts_error = 31;
  std::vector<std::string> calls_when_shown;
  platform.messages.while_shown = [&] { calls_when_shown = platform.serial.calls; };
  StreamOptions options;
  options.read_wait_ms = 70;
  std::vector<Reading> readings;
  StreamEngine* self = nullptr;
  StreamEngine engine(platform.services, "COM4", options, [&](const Reading& r, bool) {
    readings.push_back(r);
    self->Stop();
  });
  self = &engine;
  engine.Run();

  const std::vector<std::string> order{"Open", "Purge", "SetState", "SetTimeouts", "Close"};
  EXPECT_EQ(platform.serial.calls, order);
  EXPECT_EQ(calls_when_shown.back(), "SetTimeouts") << "the port is still held while shown";
  const LineSettings driver = ModuleAPI::MakeLineSettings(ModuleAPI::kBaudRate);
  EXPECT_EQ(platform.serial.last_settings.Flags, driver.Flags);
  EXPECT_EQ(platform.serial.last_settings.BaudRate, driver.BaudRate);
  EXPECT_EQ(platform.serial.last_timeouts.ReadTotalTimeoutConstant, 70u);
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  EXPECT_EQ(platform.messages.shown[0].text, "Error DCB&Timout:31");
  EXPECT_EQ(platform.messages.shown[0].caption, "Qel_weigher");
  EXPECT_EQ(platform.messages.shown[0].icon, MessageIcon::kNone);
  ASSERT_EQ(readings.size(), 1u);
  EXPECT_EQ(readings[0].error, ReadingError::kSetupFailed);
  EXPECT_EQ(engine.counters().opens, 1u);
}

// One on-demand cycle against `platform`, answered on the reader's thread.
Reading OneCycle(FakePlatform& platform, const std::string& port) {
  std::promise<Reading> answer;
  OnDemandReader reader(platform.services, platform.messages, port);
  reader.Request([&](const Reading& r) { answer.set_value(r); });
  return answer.get_future().get();
}

TEST(OnDemandReader, ReadsInTheDriversCycleWithThePointValueAndTheFailedStep) {
  FakePlatform platform;  // "," as the decimal separator
  platform.serial.incoming = "=432.100=432.100";
  Reading reading = OneCycle(platform, "COM12");
  EXPECT_EQ(platform.serial.last_device, "\\\\.\\COM12");
  EXPECT_TRUE(reading.ok);
  EXPECT_EQ(reading.value, "1.234");
  EXPECT_EQ(reading.text, "1,234");
  EXPECT_EQ(reading.error, ReadingError::kNone);

  FakePlatform failing;
  failing.serial.read_error = 5;
  reading = OneCycle(failing, "COM2");
  EXPECT_FALSE(reading.ok);
  EXPECT_EQ(reading.error, ReadingError::kReadFailed);
  ASSERT_TRUE(reading.message.has_value());
  EXPECT_EQ(*reading.message, "Ошибка чтения данных из СОМ-порта:5");
  ASSERT_EQ(failing.messages.shown.size(), 1u);
  EXPECT_EQ(failing.messages.shown[0].caption, "Qel_scale.dll");
  EXPECT_EQ(failing.messages.shown[0].icon, MessageIcon::kCritical);

  FakePlatform silent;
  silent.serial.incoming = "no frame here";
  reading = OneCycle(silent, "COM2");
  EXPECT_EQ(reading.error, ReadingError::kNoReading);
  EXPECT_EQ(reading.text, "0");
  EXPECT_TRUE(reading.value.empty());
}

}  // namespace
}  // namespace qel
