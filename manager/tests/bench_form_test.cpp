// Form1's state machine against a scripted driver and a recording view.
#include "bench_form.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace weightbench {
namespace {

struct Shown {
  std::string text;
  MessageIcon icon;
};

class RecordingView : public View {
 public:
  void SetCaption(ControlId control, const std::string& text) override { captions[control] = text; }
  void SetEnabled(ControlId control, bool enabled) override { enabled_[control] = enabled; }
  void SetComboItems(const std::vector<std::string>& items) override { combo_items = items; }
  std::string ComboText() override { return combo_text; }
  void ShowMessage(const std::string& text, MessageIcon icon) override {
    messages.push_back({text, icon});
    if (during_message) during_message();
  }

  bool Enabled(ControlId control) const {
    auto it = enabled_.find(control);
    return it != enabled_.end() ? it->second : Entry(control).enabled_at_start;
  }

  std::map<ControlId, std::string> captions;
  std::vector<std::string> combo_items;
  std::string combo_text = "1";
  std::vector<Shown> messages;
  std::function<void()> during_message;

 private:
  std::map<ControlId, bool> enabled_;
};

// Tracks every object it hands out, so tests can see which ones are still referenced.
class ScriptedFactory : public DriverFactory {
 public:
  struct Log {
    std::set<int> alive;
    std::vector<std::string> ports;
    int created = 0;
  };

  class FakeDriver : public Driver {
   public:
    FakeDriver(ScriptedFactory& owner, int id) : owner_(owner), id_(id) {
      owner_.log.alive.insert(id_);
    }
    ~FakeDriver() override { owner_.log.alive.erase(id_); }
    bool OpenComPort_(const std::string& port) override {
      owner_.log.ports.push_back(port);
      if (owner_.during_call) owner_.during_call();
      if (owner_.probe_fault) throw DriverFault(*owner_.probe_fault);
      return owner_.probe_answers;
    }
    std::string GetWeight_() override {
      if (owner_.during_call) owner_.during_call();
      if (owner_.weight_fault) throw DriverFault(*owner_.weight_fault);
      return owner_.weight;
    }

   private:
    ScriptedFactory& owner_;
    int id_;
  };

  std::unique_ptr<Driver> Create() override {
    if (!creatable) return nullptr;
    return std::make_unique<FakeDriver>(*this, ++log.created);
  }

  bool creatable = true;
  bool probe_answers = true;
  std::string weight = "1,234";
  std::optional<std::string> probe_fault;
  std::optional<std::string> weight_fault;
  std::function<void()> during_call;
  Log log;
};

class BenchFormTest : public ::testing::Test {
 protected:
  void ExpectButtons(bool cmd_on, bool cmd_send) {
    EXPECT_EQ(view.Enabled(ControlId::kCmdOn), cmd_on);
    EXPECT_EQ(view.Enabled(ControlId::kCmdSend), cmd_send);
  }

  RecordingView view;
  ScriptedFactory factory;
  BenchForm form{view, factory};
};

TEST_F(BenchFormTest, LoadFillsThePortListAndStartsIdle) {
  form.OnLoad();
  EXPECT_EQ(view.combo_items, (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"}));
  EXPECT_EQ(form.State(), FormState::kIdle);
  EXPECT_FALSE(form.HasDriver());
  ExpectButtons(true, false);
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(BenchFormTest, SendIsIgnoredUntilConnected) {
  form.OnCmdSendClick();
  factory.probe_answers = false;
  form.OnCmdOnClick();
  view.messages.clear();
  form.OnCmdSendClick();
  EXPECT_EQ(view.captions.count(ControlId::kLblInput), 0u);
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(BenchFormTest, SuccessfulProbeConnectsAndReadsWeights) {
  view.combo_text = " 3 ";
  form.OnCmdOnClick();
  EXPECT_EQ(factory.log.ports, std::vector<std::string>{"COM3"});
  EXPECT_EQ(form.State(), FormState::kConnected);
  ExpectButtons(false, true);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text, "COM3 -> OK!");
  EXPECT_EQ(view.messages[0].icon, MessageIcon::kNone);

  form.OnCmdSendClick();
  EXPECT_EQ(view.captions[ControlId::kLblInput], "1,234");
  factory.weight = "0";  // no valid reading: shown as it comes, no message
  form.OnCmdSendClick();
  EXPECT_EQ(view.captions[ControlId::kLblInput], "0");
  EXPECT_EQ(view.messages.size(), 1u);

  // Connect is not possible while connected.
  form.OnCmdOnClick();
  EXPECT_EQ(factory.log.created, 1);
}

TEST_F(BenchFormTest, PortNameIsComPlusTrimmedTextWhateverItHolds) {
  EXPECT_EQ(PortNameFor("12", PortNaming::kComOnly), "COM12");
  EXPECT_EQ(PortNameFor("  7  ", PortNaming::kComOnly), "COM7");
  EXPECT_EQ(PortNameFor("", PortNaming::kComOnly), "COM");
  EXPECT_EQ(PortNameFor("\t2 ", PortNaming::kComOnly), "COM\t2");  // only spaces are trimmed
  EXPECT_EQ(PortNameFor(" /dev/ttyUSB0 ", PortNaming::kComOnly), "COM/dev/ttyUSB0");
  EXPECT_EQ(PortNameFor(" /dev/ttyUSB0 ", PortNaming::kComOrDevicePath), "/dev/ttyUSB0");
  EXPECT_EQ(PortNameFor("4", PortNaming::kComOrDevicePath), "COM4");

  view.combo_text = "12";
  form.OnCmdOnClick();
  EXPECT_EQ(factory.log.ports.back(), "COM12");
  EXPECT_EQ(view.messages.back().text, "COM12 -> OK!");
}

TEST_F(BenchFormTest, DevicePathIsUsedAsItStandsWhenAllowed) {
  BenchForm linux_form{view, factory, PortNaming::kComOrDevicePath};
  view.combo_text = " /dev/pts/5";
  linux_form.OnCmdOnClick();
  EXPECT_EQ(factory.log.ports.back(), "/dev/pts/5");
  EXPECT_EQ(view.messages.back().text, "/dev/pts/5 -> OK!");
}

TEST_F(BenchFormTest, FailedProbeKeepsTheObjectAndAllowsRetry) {
  factory.probe_answers = false;
  form.OnCmdOnClick();
  EXPECT_EQ(form.State(), FormState::kProbeFailed);
  EXPECT_TRUE(form.HasDriver());
  ExpectButtons(true, false);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].text, "Нет связи с вессами RLS1000!");
  EXPECT_EQ(view.messages[0].icon, MessageIcon::kCritical);

  // Two more connects: each creates a new object and drops the one before.
  form.OnCmdOnClick();
  EXPECT_EQ(factory.log.alive, std::set<int>{2});
  factory.probe_answers = true;
  form.OnCmdOnClick();
  EXPECT_EQ(factory.log.alive, std::set<int>{3});
  EXPECT_EQ(form.State(), FormState::kConnected);
  EXPECT_EQ(factory.log.ports, (std::vector<std::string>{"COM1", "COM1", "COM1"}));
}

TEST_F(BenchFormTest, CreationFailureShowsTheMessageAndDropsAnyOldObject) {
  factory.probe_answers = false;
  form.OnCmdOnClick();
  ASSERT_EQ(factory.log.alive.size(), 1u);

  factory.creatable = false;
  form.OnCmdOnClick();
  EXPECT_TRUE(factory.log.alive.empty());
  EXPECT_EQ(form.State(), FormState::kIdle);
  ExpectButtons(true, false);
  ASSERT_EQ(view.messages.size(), 2u);
  const std::string expected =
      "\xD0\x9D\xD0\xB5\xD1\x82 \xD1\x81\xD0\xB2\xD1\x8F\xD0\xB7\xD0\xB8 \xD1\x81 "
      "Qel_weigher.dll!\x0A\x0D\xD0\xBF\xD0\xB5\xD1\x80\xD0\xB5\xD0\xB7\xD0\xB0\xD0\xBF\xD1\x83"
      "\xD1\x81\xD1\x82\xD0\xB8\xD1\x82\xD0\xB5 \xD0\xBF\xD1\x80\xD0\xBE\xD0\xB3\xD1\x80\xD0\xB0"
      "\xD0\xBC\xD0\xBC\xD1\x83";
  EXPECT_EQ(view.messages[1].text, expected);
  EXPECT_EQ(view.messages[1].icon, MessageIcon::kCritical);
  EXPECT_TRUE(factory.log.ports.size() == 1u);  // no probe without an object

  // The program stays usable once the driver can be created again.
  factory.creatable = true;
  factory.probe_answers = true;
  form.OnCmdOnClick();
  EXPECT_EQ(form.State(), FormState::kConnected);
}

TEST_F(BenchFormTest, DisconnectEndsIdleFromEveryState) {
  // Never connected.
  view.captions[ControlId::kLblInput] = "stale";
  form.OnCmdOffClick();
  EXPECT_EQ(form.State(), FormState::kIdle);
  EXPECT_EQ(view.captions[ControlId::kLblInput], "");
  ExpectButtons(true, false);

  // From Probe failed.
  factory.probe_answers = false;
  form.OnCmdOnClick();
  form.OnCmdOffClick();
  EXPECT_FALSE(form.HasDriver());
  EXPECT_TRUE(factory.log.alive.empty());

  // From Connected, after a reading.
  factory.probe_answers = true;
  form.OnCmdOnClick();
  form.OnCmdSendClick();
  form.OnCmdOffClick();
  EXPECT_EQ(form.State(), FormState::kIdle);
  EXPECT_TRUE(factory.log.alive.empty());
  EXPECT_EQ(view.captions[ControlId::kLblInput], "");
  ExpectButtons(true, false);
}

TEST_F(BenchFormTest, UnloadReleasesTheDriverInEveryState) {
  form.OnUnload();
  factory.probe_answers = false;
  form.OnCmdOnClick();
  form.OnUnload();
  EXPECT_TRUE(factory.log.alive.empty());
  factory.probe_answers = true;
  form.OnCmdOnClick();
  form.OnUnload();
  EXPECT_TRUE(factory.log.alive.empty());
  EXPECT_FALSE(form.HasDriver());
}

TEST_F(BenchFormTest, DriverFaultsAreShownWithoutLosingTheState) {
  factory.probe_fault = "Invalid procedure call";
  form.OnCmdOnClick();
  EXPECT_EQ(form.State(), FormState::kProbeFailed);
  EXPECT_EQ(view.messages.back().text, "Invalid procedure call");
  EXPECT_EQ(view.messages.back().icon, MessageIcon::kCritical);
  ExpectButtons(true, false);

  factory.probe_fault.reset();
  form.OnCmdOnClick();
  form.OnCmdSendClick();
  factory.weight_fault = "Overflow";
  form.OnCmdSendClick();
  EXPECT_EQ(form.State(), FormState::kConnected);
  EXPECT_EQ(view.captions[ControlId::kLblInput], "1,234");
  EXPECT_EQ(view.messages.back().text, "Overflow");
}

TEST_F(BenchFormTest, ClicksDuringACallOrMessageAreIgnored) {
  // The driver's own message boxes may leave the window clickable during a probe.
  factory.during_call = [&] {
    form.OnCmdOnClick();
    form.OnCmdOffClick();
    form.OnCmdSendClick();
    EXPECT_TRUE(form.Busy());
  };
  form.OnCmdOnClick();
  EXPECT_EQ(factory.log.created, 1);
  EXPECT_EQ(form.State(), FormState::kConnected);
  EXPECT_EQ(factory.log.alive, std::set<int>{1});
  form.OnCmdSendClick();
  EXPECT_EQ(view.captions[ControlId::kLblInput], "1,234");
  EXPECT_FALSE(form.Busy());
}

TEST(ControlTable, MatchesTheFormLayout) {
  // Frame2 holds everything; every control must fit inside it and the frame inside the form.
  const ControlEntry& frame = Entry(ControlId::kFrame2);
  EXPECT_LE(frame.left + frame.width, kClientWidthTwips);
  EXPECT_LE(frame.top + frame.height, kClientHeightTwips);
  std::set<int> tab_indexes;
  for (const ControlEntry& entry : kControls) {
    tab_indexes.insert(entry.tab_index);
    if (entry.id == ControlId::kFrame2) continue;
    EXPECT_LE(entry.left + entry.width, frame.width) << entry.name;
    EXPECT_LE(entry.top + entry.height, frame.height) << entry.name;
  }
  EXPECT_EQ(tab_indexes.size(), kControls.size());
  EXPECT_EQ(Entry(ControlId::kLabel1).caption,
            "\xD0\xA1\xD0\x9E\xD0\x9C-\xD0\xBF\xD0\xBE\xD1\x80\xD1\x82");
  EXPECT_FALSE(Entry(ControlId::kCmdSend).enabled_at_start);
  EXPECT_EQ(TwipsToPixels(4230, 96), 282);
  EXPECT_EQ(TwipsToPixels(2565, 144), 257);  // 256.5 rounds up
  EXPECT_EQ(TwipsToPixels(615, 120), 51);
}

}  // namespace
}  // namespace weightbench
