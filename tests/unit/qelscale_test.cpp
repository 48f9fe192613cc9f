#include "qelscale.h"

#include <gtest/gtest.h>

#include <thread>

#include "fake_platform.h"

namespace qel {
namespace {

using testing::FakePlatform;

TEST(Qelscale, OneCycleOpensWaitsReadsClosesAndDecodes) {
  FakePlatform platform;
  platform.serial.incoming = "=432.100=432.100=4";
  Qelscale scale(platform.services);
  EXPECT_EQ(scale.GetWeight_(), "1,234");
  const std::vector<std::string> expected{"Open",  "Purge", "SetState", "SetTimeouts",
                                          "Sleep", "Read",  "Close"};
  EXPECT_EQ(platform.serial.calls, expected);
  EXPECT_EQ(platform.sleeper.pauses, std::vector<std::uint32_t>{600});
  EXPECT_EQ(platform.serial.last_device, "COM1:") << "a new object reads COM1";
  EXPECT_EQ(platform.serial.open_handles, 0);
  // The thread's record keeps what the cycle used.
  const LinkState& link = platform.states.ForCurrentThread();
  EXPECT_EQ(link.PortHandle, 42);
  EXPECT_EQ(link.BytesRead, 18);
  EXPECT_EQ(link.RxBuffer[17], '4');
  EXPECT_EQ(link.RxBuffer[18], 0x20);
}

TEST(Qelscale, WeightFollowsTheUsersDecimalSeparator) {
  FakePlatform platform;
  Qelscale scale(platform.services);
  platform.locale.format = {".", true};
  platform.serial.incoming = "=432.100=4";
  EXPECT_EQ(scale.GetWeight_(), "1.234");
  platform.serial.incoming = "=000.000=0";
  EXPECT_EQ(scale.GetWeight_(), "0.000") << "a zero reading keeps its decimals";
}

TEST(Qelscale, NoReadingWithoutAPortOrAFrame) {
  FakePlatform platform;
  Qelscale scale(platform.services);
  platform.serial.open_error = 2;
  EXPECT_EQ(scale.GetWeight_(), "0");
  EXPECT_FALSE(scale.OpenComPort_("COM7"));
  EXPECT_EQ(platform.messages.shown.size(), 2u) << "one message per failed open";
  EXPECT_TRUE(platform.sleeper.pauses.empty()) << "no pause when the port did not open";

  platform.serial.open_error = 0;
  platform.messages.shown.clear();
  for (const char* received : {"", "=432.100", "nothing here at all", "abcdef=432.1"}) {
    platform.serial.incoming = received;
    EXPECT_EQ(scale.GetWeight_(), "0") << received;
    platform.serial.incoming = received;
    EXPECT_FALSE(scale.OpenComPort_("COM7")) << received;
  }
  EXPECT_TRUE(platform.messages.shown.empty()) << "too little text is not an error to show";
}

TEST(Qelscale, ReadFailureEndsInNoReading) {
  FakePlatform platform;
  Qelscale scale(platform.services);
  platform.serial.read_error = 5;
  platform.serial.incoming = "=432.100=432.100";
  EXPECT_EQ(scale.GetWeight_(), "0");
  EXPECT_EQ(platform.serial.open_handles, 0);
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  EXPECT_EQ(platform.messages.shown[0].caption, "Qel_scale.dll");
}

// A call made while one of the cycle's message boxes is up (a client's timer, a host's event
// loop) runs a whole cycle of its own on the same thread. It must neither close, leak nor
// refill the handle and bytes of the cycle it interrupts.
TEST(Qelscale, ACallInsideTheReadFailureMessageLeavesTheOuterCycleItsOwn) {
  FakePlatform platform;
  Qelscale scale(platform.services);
  platform.serial.read_error = 5;
  std::string nested;
  int nestings = 0;
  platform.messages.while_shown = [&] {
    if (nestings++ > 0) return;
    platform.serial.read_error = 0;
    platform.serial.incoming = "=432.100=432.100";
    nested = scale.GetWeight_();
  };
  EXPECT_EQ(scale.GetWeight_(), "0") << "its own read failed; the nested call's bytes are not its";
  EXPECT_EQ(nested, "1,234");
  EXPECT_EQ(platform.serial.closed, (std::vector<PortHandle>{43, 42}))
      << "each cycle closes what it opened, once";
  EXPECT_TRUE(platform.serial.held.empty());
  // The thread's record holds the values of the cycle that ended last: the outer one.
  const LinkState& link = platform.states.ForCurrentThread();
  EXPECT_EQ(link.PortHandle, 42);
  EXPECT_EQ(link.BytesRead, 0);
  EXPECT_EQ(link.RxBuffer[0], 0x20);
}

TEST(Qelscale, ACallInsideTheSetupFailureMessageLeavesTheOuterCycleItsOwn) {
  FakePlatform platform;
  Qelscale scale(platform.services);
  platform.serial.set_state_error = 87;
  bool nested = false;
  int nestings = 0;
  platform.messages.while_shown = [&] {
    if (nestings++ > 0) return;
    platform.serial.set_state_error = 0;
    platform.serial.incoming = "=432.100=432.100";
    nested = scale.OpenComPort_("COM5");
  };
  EXPECT_FALSE(scale.OpenComPort_("COM3"));
  EXPECT_TRUE(nested);
  EXPECT_EQ(platform.serial.closed, (std::vector<PortHandle>{43, 42}))
      << "each cycle closes what it opened, once";
  EXPECT_TRUE(platform.serial.held.empty());
  EXPECT_EQ(platform.states.ForCurrentThread().PortHandle, 42);
  ASSERT_EQ(platform.messages.shown.size(), 1u);
  EXPECT_EQ(platform.messages.shown[0].text, "Error DCB&Timout:87");

  // Afterwards the port chosen last, the nested call's, reads as usual.
  platform.serial.incoming = "=432.100=432.100";
  EXPECT_EQ(scale.GetWeight_(), "1,234");
  EXPECT_EQ(platform.serial.last_device, "COM5:");
  EXPECT_TRUE(platform.serial.held.empty());
}

TEST(Qelscale, ProbeAcceptsNegativeWeightsThatGetWeightRefuses) {
  FakePlatform platform;
  Qelscale scale(platform.services);
  platform.serial.incoming = "=432.10-=432.10-";
  EXPECT_TRUE(scale.OpenComPort_("COM3"));
  platform.serial.incoming = "=432.10-=432.10-";
  EXPECT_EQ(scale.GetWeight_(), "0");
}

TEST(Qelscale, FailedProbeStillChoosesThePort) {
  FakePlatform platform;
  Qelscale scale(platform.services);
  EXPECT_FALSE(scale.OpenComPort_("COM3"));  // silence there
  platform.serial.incoming = "=432.100=4";
  EXPECT_EQ(scale.GetWeight_(), "1,234");
  EXPECT_EQ(platform.serial.last_device, "COM3:");
}

TEST(Qelscale, ObjectsOfOneThreadShareThePortChoice) {
  FakePlatform platform;
  Qelscale a(platform.services);
  a.OpenComPort_("COM3");
  Qelscale b(platform.services);  // resets the thread's choice
  a.GetWeight_();
  EXPECT_EQ(platform.serial.last_device, "COM1:");
  b.OpenComPort_("COM4");
  a.GetWeight_();
  EXPECT_EQ(platform.serial.last_device, "COM4:");
}

TEST(Qelscale, EachThreadKeepsItsOwnPortChoice) {
  FakePlatform here;
  Qelscale mine(here.services);
  mine.OpenComPort_("COM3");

  std::string other_device;
  std::thread([&] {
    FakePlatform there;
    Qelscale theirs(there.services);
    theirs.OpenComPort_("COM5");
    theirs.GetWeight_();
    other_device = there.serial.last_device;
  }).join();

  mine.GetWeight_();
  EXPECT_EQ(here.serial.last_device, "COM3:");
  EXPECT_EQ(other_device, "COM5:");
}

}  // namespace
}  // namespace qel
