// The C interface's handle when the client releases it from inside its own call: the driver's
// message box is where a client's handler or timer runs, and it may drop the last reference.
// Under AddressSanitizer a cycle that touched the freed object after the box fails here.
#include "driver_handle.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"

namespace {

using qel::testing::FakePlatform;

struct ReleasedInsideCall : ::testing::Test {
  FakePlatform platform;
  Qelscale* handle = qel::capi::Create(platform.services);

  void ReleaseWhileBoxIsUp() {
    platform.messages.while_shown = [this] {
      platform.messages.while_shown = nullptr;
      qel::capi::Release(handle);
    };
  }
};

TEST_F(ReleasedInsideCall, WeightAfterAFailedOpenIsNoReadingAndOutlivesTheHandle) {
  ASSERT_NE(handle, nullptr);
  platform.serial.open_error = 2;
  ReleaseWhileBoxIsUp();
  const std::string weight = qel::capi::GetWeight(handle);
  EXPECT_EQ(weight, "0");
  ASSERT_EQ(platform.messages.shown.size(), 1u);
}

TEST_F(ReleasedInsideCall, ReadFailureStillClosesThePort) {
  ASSERT_NE(handle, nullptr);
  platform.serial.read_error = 5;
  ReleaseWhileBoxIsUp();
  EXPECT_EQ(qel::capi::OpenComPort(handle, "COM3"), 0);
  // The box came up after the read; the cycle went on to close the port it held.
  EXPECT_EQ(platform.serial.open_handles, 0);
  EXPECT_EQ(platform.serial.calls.back(), "Close");
}

TEST_F(ReleasedInsideCall, SetupFailureReleasedDuringProbe) {
  ASSERT_NE(handle, nullptr);
  platform.serial.set_state_error = 87;
  ReleaseWhileBoxIsUp();
  EXPECT_EQ(qel::capi::GetWeight(handle), std::string("0"));
  EXPECT_EQ(platform.serial.open_handles, 0);
}

TEST(DriverHandle, KeptHandleOwnsItsTextUntilTheNextCall) {
  FakePlatform platform;
  Qelscale* handle = qel::capi::Create(platform.services);
  ASSERT_NE(handle, nullptr);
  platform.serial.incoming = "=432.100=432.100=432.100";
  const char* text = qel::capi::GetWeight(handle);
  EXPECT_STREQ(text, "1,234");
  EXPECT_EQ(text, handle->weight.c_str());
  qel::capi::Release(handle);
  qel::capi::Release(nullptr);
  EXPECT_STREQ(qel::capi::GetWeight(nullptr), "0");
  EXPECT_EQ(qel::capi::OpenComPort(nullptr, "COM1"), 0);
}

}  // namespace
