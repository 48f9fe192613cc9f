// The Scale service object's state machine against a fake host: a scripted reading engine,
// claims shared between instances, ports that are free, absent or busy.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

#include "opos_constants.h"
#include "scale_service.h"

namespace qel::opos {
namespace {

struct FakeLink;

struct FakeHost : ServiceHost {
  std::map<std::string, DeviceSettings> devices;
  std::set<std::string> claimed;
  std::map<std::string, PortCheck> ports;  // absent from the map: free
  Listener listener;
  FakeLink* link = nullptr;
  int woken = 0;
  int links_started = 0;
  CommandResult answer = CommandResult::kAcknowledged;
  std::vector<ScaleCommand> commands;

  std::optional<DeviceSettings> Settings(const std::string& name) override {
    const auto found = devices.find(name);
    if (found == devices.end()) return std::nullopt;
    return found->second;
  }
  std::shared_ptr<void> Claim(const std::string& name) override {
    if (!claimed.insert(name).second) return nullptr;
    return std::shared_ptr<void>(new int(0), [this, name](void* held) {
      delete static_cast<int*>(held);
      claimed.erase(name);
    });
  }
  PortCheck CheckPort(const std::string& port) override {
    const auto found = ports.find(port);
    return found == ports.end() ? PortCheck::kFree : found->second;
  }
  std::unique_ptr<DeviceLink> Start(const DeviceSettings&, Listener on_reading) override;
  void EventsWaiting() override { ++woken; }

  void Send(const std::string& value, bool stable, ReadingError error = ReadingError::kNone,
            const std::string& unit = "kg") {
    Reading reading;
    reading.ok = error == ReadingError::kNone && !value.empty();
    reading.value = value;
    reading.stable = stable;
    reading.error = reading.ok ? ReadingError::kNone : error;
    reading.unit = unit;
    listener(reading);
  }
};

struct FakeLink : DeviceLink {
  explicit FakeLink(FakeHost& h) : host(h) { host.link = this; }
  ~FakeLink() override {
    host.link = nullptr;
    host.listener = nullptr;
  }
  void Command(ScaleCommand command, std::function<void(CommandResult)> done) override {
    host.commands.push_back(command);
    done(host.answer);
  }
  FakeHost& host;
};

std::unique_ptr<DeviceLink> FakeHost::Start(const DeviceSettings&, Listener on_reading) {
  listener = std::move(on_reading);
  ++links_started;
  return std::make_unique<FakeLink>(*this);
}

struct Recorder : EventTarget {
  std::vector<std::int32_t> data, status;
  std::vector<std::pair<std::int32_t, std::int32_t>> errors;
  std::int32_t response = kResponseClear;
  void Data(std::int32_t value) override { data.push_back(value); }
  std::int32_t Error(std::int32_t result, std::int32_t extended, std::int32_t,
                     std::int32_t) override {
    errors.emplace_back(result, extended);
    return response;
  }
  void StatusUpdate(std::int32_t value) override { status.push_back(value); }
};

class OposScaleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.devices["QelScale"] = DeviceSettings{"COM3?protocol=mt-sics", 0, 0, 0};
    host.devices["Plain"] = DeviceSettings{"COM4", 0, kUnitGram, 0};
  }
  // Open, claimed and enabled.
  void Ready(ScaleService& service, const std::string& name = "QelScale") {
    ASSERT_EQ(kSuccess, service.Open("Scale", name));
    ASSERT_EQ(kSuccess, service.ClaimDevice(0));
    service.SetNumber(kPidxDeviceEnabled, 1);
    ASSERT_EQ(kSuccess, service.GetNumber(kPidxResultCode));
  }
  FakeHost host;
};

TEST_F(OposScaleTest, WrongStateCallsAnswerClosedNotClaimedDisabled) {
  ScaleService service(host);
  std::int32_t weight = -1;
  EXPECT_EQ(kClosed, service.ReadWeight(weight, 0));
  EXPECT_EQ(kClosed, service.ClaimDevice(0));
  EXPECT_EQ(kStateClosed, service.GetNumber(kPidxState));
  service.SetNumber(kPidxDeviceEnabled, 1);
  EXPECT_EQ(kClosed, service.GetNumber(kPidxResultCode));
  EXPECT_EQ(kNoExist, service.Open("Scale", "Unknown"));
  EXPECT_EQ(kNoService, service.Open("POSPrinter", "QelScale"));

  ASSERT_EQ(kSuccess, service.Open("Scale", "QelScale"));
  EXPECT_EQ(kStateIdle, service.GetNumber(kPidxState));
  EXPECT_EQ(kNotClaimed, service.ReadWeight(weight, 0));
  EXPECT_EQ(kNotClaimed, service.ZeroScale());
  service.SetNumber(kPidxDeviceEnabled, 1);
  EXPECT_EQ(kNotClaimed, service.GetNumber(kPidxResultCode));
  EXPECT_EQ(kIllegal, service.ReleaseDevice());
  EXPECT_EQ(kSuccess, service.ClaimDevice(0));
  EXPECT_EQ(kDisabled, service.ReadWeight(weight, 0));
  EXPECT_EQ(kDisabled, service.CheckHealth(kHealthInternal));
  EXPECT_EQ(0, host.links_started);  // no port held before enabling
  EXPECT_EQ(kIllegal, service.Unsupported());
  EXPECT_EQ(kSuccess, service.Close());
  EXPECT_TRUE(host.claimed.empty());
  EXPECT_EQ(kClosed, service.Close());
}

TEST_F(OposScaleTest, ClaimIsExclusiveAndPortFailuresMapToResultCodes) {
  ScaleService first(host), second(host);
  ASSERT_EQ(kSuccess, first.Open("Scale", "QelScale"));
  ASSERT_EQ(kSuccess, second.Open("Scale", "QelScale"));
  ASSERT_EQ(kSuccess, first.ClaimDevice(0));
  EXPECT_EQ(kClaimed, second.ClaimDevice(60));
  EXPECT_EQ(1, first.GetNumber(kPidxClaimed));
  EXPECT_EQ(0, second.GetNumber(kPidxClaimed));
  ASSERT_EQ(kSuccess, first.ReleaseDevice());
  EXPECT_EQ(kSuccess, second.ClaimDevice(0));
  second.ReleaseDevice();

  host.ports["COM3"] = PortCheck::kAbsent;
  EXPECT_EQ(kNoHardware, first.ClaimDevice(0));
  EXPECT_TRUE(host.claimed.empty());
  host.ports["COM3"] = PortCheck::kHeld;  // another program holds the port
  EXPECT_EQ(kClaimed, first.ClaimDevice(0));
  host.ports.erase("COM3");
  ASSERT_EQ(kSuccess, first.ClaimDevice(0));
  host.ports["COM3"] = PortCheck::kAbsent;  // unplugged between claim and enable
  first.SetNumber(kPidxDeviceEnabled, 1);
  EXPECT_EQ(kNoHardware, first.GetNumber(kPidxResultCode));
  EXPECT_EQ(0, first.GetNumber(kPidxDeviceEnabled));
}

TEST_F(OposScaleTest, SynchronousReadWaitsForAStableWeightInThousandths) {
  ScaleService service(host);
  Ready(service);
  std::int32_t weight = 0;
  host.Send("1.234", false);
  EXPECT_EQ(kTimeout, service.ReadWeight(weight, 0));  // moving
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host.Send("1.234", true);
  });
  EXPECT_EQ(kSuccess, service.ReadWeight(weight, kForever));
  later.join();
  EXPECT_EQ(1234, weight);
  // A stable zero is no weight unless ZeroValid.
  host.Send("0.000", true);
  EXPECT_EQ(kTimeout, service.ReadWeight(weight, 0));
  service.SetNumber(kPidxZeroValid, 1);
  EXPECT_EQ(kSuccess, service.ReadWeight(weight, 0));
  EXPECT_EQ(0, weight);
  host.Send("", false, ReadingError::kOverload);
  EXPECT_EQ(kExtended, service.ReadWeight(weight, 1000));
  EXPECT_EQ(kExtOverweight, service.GetNumber(kPidxResultCodeExtended));
  host.Send("-0.020", true);
  EXPECT_EQ(kExtended, service.ReadWeight(weight, 1000));
  EXPECT_EQ(kExtUnderZero, service.GetNumber(kPidxResultCodeExtended));
  EXPECT_EQ(kExtended, service.GetNumber(kPidxResultCode));  // reading it changes nothing
}

TEST(OposReadingWeight, ConvertsTheScalesUnitToTheDevicesUnit) {
  Reading reading;
  reading.ok = true;
  reading.value = "1.5";
  reading.unit = "lb";
  EXPECT_EQ(680389, ReadingWeight(reading, kUnitGram));
  EXPECT_EQ(24000, ReadingWeight(reading, kUnitOunce));
  reading.unit = "g";
  reading.value = "250";
  EXPECT_EQ(250, ReadingWeight(reading, kUnitKilogram));
  reading.value = "12.34x";
  EXPECT_FALSE(ReadingWeight(reading, kUnitKilogram).has_value());
  reading.value = "1.0";
  reading.unit = "dwt";  // no conversion known: no weight rather than a wrong one
  EXPECT_FALSE(ReadingWeight(reading, kUnitKilogram).has_value());
}

TEST_F(OposScaleTest, AsynchronousReadGivesOneDataEventHeldWhileFrozen) {
  ScaleService service(host);
  Ready(service);
  Recorder co;
  service.SetNumber(kPidxAsyncMode, 1);
  service.SetNumber(kPidxDataEventEnabled, 1);
  std::int32_t weight = 0;
  ASSERT_EQ(kSuccess, service.ReadWeight(weight, kForever));
  EXPECT_EQ(kStateBusy, service.GetNumber(kPidxState));
  EXPECT_EQ(kBusy, service.ReadWeight(weight, kForever));
  ASSERT_EQ(kSuccess, service.FreezeEvents(true));
  host.Send("2.500", true);
  host.Send("2.500", true);
  EXPECT_EQ(1, service.GetNumber(kPidxDataCount));
  service.DeliverEvents(co);
  EXPECT_TRUE(co.data.empty());
  service.FreezeEvents(false);
  service.DeliverEvents(co);
  EXPECT_EQ(std::vector<std::int32_t>{2500}, co.data);
  EXPECT_EQ(0, service.GetNumber(kPidxDataEventEnabled));  // delivery disables data events
  EXPECT_EQ(kStateIdle, service.GetNumber(kPidxState));

  // A timeout is an error event; it waits for DataEventEnabled like data does.
  host.Send("2.500", false);
  ASSERT_EQ(kSuccess, service.ReadWeight(weight, 10));
  for (int i = 0; i < 500 && service.GetNumber(kPidxState) != kStateError; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  service.DeliverEvents(co);
  EXPECT_TRUE(co.errors.empty());
  service.SetNumber(kPidxDataEventEnabled, 1);
  service.DeliverEvents(co);
  ASSERT_EQ(1u, co.errors.size());
  EXPECT_EQ(kTimeout, co.errors[0].first);

  // ClearInput drops a waiting read and its queued results.
  ASSERT_EQ(kSuccess, service.ReadWeight(weight, kForever));
  EXPECT_EQ(kSuccess, service.ClearInput());
  host.Send("3.000", true);
  EXPECT_EQ(0, service.GetNumber(kPidxDataCount));
  EXPECT_EQ(kStateIdle, service.GetNumber(kPidxState));
}

TEST_F(OposScaleTest, LiveWeightStatusFollowsTheScaleWhenEnabled) {
  ScaleService service(host);
  ASSERT_EQ(kSuccess, service.Open("Scale", "QelScale"));
  ASSERT_EQ(kSuccess, service.ClaimDevice(0));
  service.SetNumber(kPidxStatusNotify, kNotifyEnabled);
  ASSERT_EQ(kSuccess, service.GetNumber(kPidxResultCode));
  service.SetNumber(kPidxDeviceEnabled, 1);
  service.SetNumber(kPidxStatusNotify, kNotifyDisabled);
  EXPECT_EQ(kIllegal, service.GetNumber(kPidxResultCode));  // only while disabled
  Recorder co;
  host.Send("0.750", false);
  host.Send("0.750", true);
  host.Send("0.750", true);  // no change: no event
  host.Send("0.000", true);
  host.Send("", false, ReadingError::kOverload);
  host.Send("", false, ReadingError::kUnderZero);
  host.Send("", false, ReadingError::kReadFailed);
  service.DeliverEvents(co);  // status events do not wait for DataEventEnabled
  EXPECT_EQ(
      (std::vector<std::int32_t>{kStatusWeightUnstable, kStatusStableWeight, kStatusWeightZero,
                                 kStatusOverweight, kStatusUnderZero, kStatusNotReady}),
      co.status);
  host.Send("0.800", true);
  service.DeliverEvents(co);
  EXPECT_EQ(800, service.GetNumber(kPidxScaleLiveWeight));
  service.FreezeEvents(true);
  host.Send("0.000", true);  // queued while frozen, then the session ends
  service.FreezeEvents(false);
  EXPECT_EQ(kSuccess, service.Close());
  ASSERT_EQ(kSuccess, service.Open("Scale", "QelScale"));
  const std::size_t seen = co.status.size();
  service.DeliverEvents(co);
  EXPECT_EQ(seen, co.status.size());  // nothing of the earlier session
}

TEST_F(OposScaleTest, ZeroAndTareReachTheScaleAndRefusalsSayWhy) {
  ScaleService service(host);
  Ready(service);
  EXPECT_EQ(1, service.GetNumber(kPidxCapZeroScale));
  EXPECT_EQ(kSuccess, service.ZeroScale());
  service.SetNumber(kPidxTareWeight, 0);
  EXPECT_EQ(kSuccess, service.GetNumber(kPidxResultCode));
  EXPECT_EQ((std::vector<ScaleCommand>{ScaleCommand::kZero, ScaleCommand::kTare}), host.commands);
  host.answer = CommandResult::kRefused;
  host.Send("", false, ReadingError::kOverload);
  EXPECT_EQ(kExtended, service.ZeroScale());
  EXPECT_EQ(kExtOverweight, service.GetNumber(kPidxResultCodeExtended));
  host.Send("1.000", true);
  EXPECT_EQ(kFailure, service.ZeroScale());
  host.answer = CommandResult::kNoAnswer;
  EXPECT_EQ(kTimeout, service.ZeroScale());
}

TEST_F(OposScaleTest, ProtocolWithoutCommandsAndUnsupportedPropertiesAnswerIllegal) {
  ScaleService service(host);
  Ready(service, "Plain");  // the driver's own frames: no zero, no tare
  EXPECT_EQ(0, service.GetNumber(kPidxCapZeroScale));
  EXPECT_EQ(0, service.GetNumber(kPidxCapTareWeight));
  EXPECT_EQ(kIllegal, service.ZeroScale());
  EXPECT_TRUE(host.commands.empty());
  EXPECT_EQ(kUnitGram, service.GetNumber(kPidxWeightUnit));
  service.SetNumber(kPidxPowerNotify, 1);
  EXPECT_EQ(kIllegal, service.GetNumber(kPidxResultCode));
  service.SetString(kPidxDeviceName, "x");
  EXPECT_EQ(kIllegal, service.GetNumber(kPidxResultCode));
  EXPECT_EQ(0, service.GetNumber(12345));
  EXPECT_EQ(kIllegal, service.GetNumber(kPidxResultCode));
  EXPECT_EQ(kServiceObjectVersion, service.GetNumber(kPidxServiceObjectVersion));
  // Disabling closes the port; the claim stays.
  service.SetNumber(kPidxDeviceEnabled, 0);
  EXPECT_EQ(nullptr, host.link);
  EXPECT_EQ(1, service.GetNumber(kPidxClaimed));
}

}  // namespace
}  // namespace qel::opos
