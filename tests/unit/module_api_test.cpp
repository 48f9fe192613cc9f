#include "module_api.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "runtime_fault.h"

namespace qel {
namespace {

using testing::FakePlatform;

class ModuleApiTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  LinkState link;
};

TEST_F(ModuleApiTest, ClearBufferBlanksAll256Bytes) {
  std::fill(std::begin(link.RxBuffer), std::end(link.RxBuffer), 0x41);
  ModuleAPI::ClearBuffer(link);
  for (int i = 0; i < kRxBufferSize; ++i) ASSERT_EQ(link.RxBuffer[i], 0x20) << i;
}

TEST_F(ModuleApiTest, OpenConfiguresTheLineAsTheScaleExpects) {
  ASSERT_TRUE(ModuleAPI::OpenPort(link, platform.services, "COM2", 9600));
  EXPECT_EQ(platform.serial.last_device, "COM2:");
  EXPECT_EQ(link.PortHandle, 42);
  const std::vector<std::string> expected{"Open", "Purge", "SetState", "SetTimeouts"};
  EXPECT_EQ(platform.serial.calls, expected);

  const LineSettings& dcb = platform.serial.last_settings;
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.Flags, 0x83u);
  EXPECT_EQ(dcb.XonLim, 128);
  EXPECT_EQ(dcb.XoffLim, 64);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.ErrorChar, '#');
  EXPECT_EQ(dcb.EofChar, 0x1A);
  EXPECT_EQ(dcb.EvtChar, 0);

  const CommTimeouts& t = platform.serial.last_timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, 1u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 2u) << "floor(12000 / 9600) + 1";
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 20u);
  EXPECT_TRUE(platform.messages.shown.empty());
  EXPECT_EQ(ModuleAPI::MakeTimeouts(1200).WriteTotalTimeoutMultiplier, 11u);
  EXPECT_EQ(ModuleAPI::MakeTimeouts(-9600).WriteTotalTimeoutMultiplier,
            static_cast<std::uint32_t>(-1))
      << "rounded toward minus infinity";
}

TEST_F(ModuleApiTest, OpenFailureShowsTheSystemCodeAndTouchesNothingElse) {
  platform.serial.open_error = 2;
  link.LineSettings.BaudRate = 1234;
  EXPECT_FALSE(ModuleAPI::OpenPort(link, platform.services, "COM9", 9600));
  EXPECT_EQ(link.PortHandle, kInvalidPortHandle);
  EXPECT_EQ(link.LineSettings.BaudRate, 1234u);
  EXPECT_EQ(platform.serial.calls, std::vector<std::string>{"Open"});
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  EXPECT_EQ(platform.messages.shown[0].text, "Не могу открыть порт COM9: 2");
  EXPECT_EQ(platform.messages.shown[0].caption, "Qel_weigher");
  EXPECT_EQ(platform.messages.shown[0].icon, MessageIcon::kNone);
}

TEST_F(ModuleApiTest, HigherComPortsOpenInTheDeviceNamespace) {
  struct Case {
    std::string port, device;
  };
  std::vector<Case> cases;
  for (int n = 1; n <= 9; ++n) {
    const std::string port = "COM" + std::to_string(n);
    cases.push_back({port, port + ":"});
  }
  for (const Case& c : std::vector<Case>{{"COM10", "\\\\.\\COM10"},
                                         {"COM12", "\\\\.\\COM12"},
                                         {"com256", "\\\\.\\com256"},
                                         {"\\\\.\\COM12", "\\\\.\\COM12"},
                                         {"\\\\.\\COM3", "\\\\.\\COM3"},
                                         {"COM012", "COM012:"},
                                         {"COM1X", "COM1X:"},
                                         {"COM", "COM:"},
                                         {"NUL", "NUL:"},
                                         {"/dev/ttyUSB0", "/dev/ttyUSB0:"},
                                         {"", ":"}}) {
    cases.push_back(c);
  }
  for (const Case& c : cases) {
    FakePlatform fresh;
    fresh.serial.open_error = 2;
    EXPECT_FALSE(ModuleAPI::OpenPort(link, fresh.services, c.port, 9600));
    EXPECT_EQ(fresh.serial.last_device, c.device) << c.port;
    ASSERT_EQ(fresh.messages.shown.size(), 1u);
    EXPECT_EQ(fresh.messages.shown[0].text, "Не могу открыть порт " + c.port + ": 2")
        << "the message shows the name the client gave";
  }
}

TEST_F(ModuleApiTest, SetupFailureClosesThePortWithTheLastFailingCode) {
  struct Case {
    std::uint32_t state_error, timeouts_error, shown_code;
  };
  for (const Case c : {Case{87, 0, 87}, Case{0, 31, 31}, Case{87, 31, 31}}) {
    FakePlatform fresh;
    fresh.serial.set_state_error = c.state_error;
    fresh.serial.set_timeouts_error = c.timeouts_error;
    EXPECT_FALSE(ModuleAPI::OpenPort(link, fresh.services, "COM1", 9600));
    // SetCommTimeouts is tried even after SetCommState failed.
    const std::vector<std::string> expected{"Open", "Purge", "SetState", "SetTimeouts", "Close"};
    EXPECT_EQ(fresh.serial.calls, expected);
    EXPECT_EQ(fresh.serial.open_handles, 0);
    ASSERT_EQ(fresh.messages.shown.size(), 1u);
    EXPECT_EQ(fresh.messages.shown[0].text, "Error DCB&Timout:" + std::to_string(c.shown_code));
    EXPECT_EQ(fresh.messages.shown[0].caption, "Qel_weigher");
    EXPECT_EQ(fresh.messages.shown[0].icon, MessageIcon::kNone);
  }
}

TEST_F(ModuleApiTest, ZeroBaudIsARuntimeFaultThatLeavesNoPortOpen) {
  EXPECT_THROW(ModuleAPI::OpenPort(link, platform.services, "COM1", 0), RuntimeFault);
  EXPECT_EQ(platform.serial.open_handles, 0);
  EXPECT_TRUE(platform.messages.shown.empty());
}

TEST_F(ModuleApiTest, ReadTakesAtMost255BytesAndNeverTheLastOne) {
  platform.serial.incoming = std::string(300, '7');
  ASSERT_TRUE(ModuleAPI::OpenPort(link, platform.services, "COM1", 9600));
  ModuleAPI::ReadPort(link, platform.services);
  EXPECT_EQ(platform.serial.last_read_count, 255u);
  EXPECT_EQ(link.BytesRead, 255);
  EXPECT_EQ(link.RxBuffer[254], '7');
  EXPECT_EQ(link.RxBuffer[255], 0x20);
  EXPECT_EQ(platform.serial.incoming.size(), 45u) << "the rest stays queued";
}

TEST_F(ModuleApiTest, ReadFailureIsShownAsCriticalAndCountsNothing) {
  platform.serial.read_error = 5;
  ASSERT_TRUE(ModuleAPI::OpenPort(link, platform.services, "COM1", 9600));
  link.BytesRead = 99;
  ModuleAPI::ReadPort(link, platform.services);
  EXPECT_EQ(link.BytesRead, 0);
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  EXPECT_EQ(platform.messages.shown[0].text, "Ошибка чтения данных из СОМ-порта:5");
  EXPECT_EQ(platform.messages.shown[0].caption, "Qel_scale.dll");
  EXPECT_EQ(platform.messages.shown[0].icon, MessageIcon::kCritical);
}

TEST_F(ModuleApiTest, SilenceIsASuccessfulEmptyRead) {
  ASSERT_TRUE(ModuleAPI::OpenPort(link, platform.services, "COM1", 9600));
  ModuleAPI::ReadPort(link, platform.services);
  EXPECT_EQ(link.BytesRead, 0);
  EXPECT_TRUE(platform.messages.shown.empty());
  ModuleAPI::ClosePort(link, platform.services);
  EXPECT_EQ(platform.serial.open_handles, 0);
  EXPECT_EQ(link.PortHandle, 42) << "the handle value is kept after closing";
}

}  // namespace
}  // namespace qel
