#include "bench_form.h"

#include <utility>

namespace weightbench {
namespace {

class BusyScope {
 public:
  explicit BusyScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~BusyScope() { flag_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

std::string TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

std::string PortNameFor(std::string_view combo_text, PortNaming naming) {
  std::string trimmed = TrimSpaces(combo_text);
  if (naming == PortNaming::kComOrDevicePath && !trimmed.empty() && trimmed.front() == '/') {
    return trimmed;
  }
  return "COM" + trimmed;
}

BenchForm::BenchForm(View& view, DriverFactory& factory, PortNaming naming)
    : view_(view), factory_(factory), naming_(naming) {}

BenchForm::~BenchForm() = default;

void BenchForm::OnLoad() { view_.SetComboItems({"1", "2", "3", "4", "5", "6", "7", "8"}); }

void BenchForm::OnCmdOnClick() {
  // The button is disabled while connected; a stray event must not drop a working link.
  if (busy_ || state_ == FormState::kConnected) return;
  BusyScope busy(busy_);

  std::unique_ptr<Driver> created = factory_.Create();
  if (!created) {
    driver_.reset();
    state_ = FormState::kIdle;
    view_.ShowMessage(std::string(kCreationFailedText), MessageIcon::kCritical);
    return;
  }
  // The new object is in hand before the old one goes, as an object assignment does.
  driver_ = std::move(created);
  state_ = FormState::kProbeFailed;

  const std::string port = PortNameFor(view_.ComboText(), naming_);
  bool answered = false;
  try {
    answered = driver_->OpenComPort_(port);
  } catch (const DriverFault& fault) {
    // A fault is not a probe result: say what failed and stay able to retry.
    view_.ShowMessage(fault.what(), MessageIcon::kCritical);
    return;
  }
  if (answered) {
    state_ = FormState::kConnected;
    view_.SetEnabled(ControlId::kCmdSend, true);
    view_.SetEnabled(ControlId::kCmdOn, false);
    view_.ShowMessage(port + std::string(kProbeOkSuffix), MessageIcon::kNone);
  } else {
    view_.ShowMessage(std::string(kProbeFailedText), MessageIcon::kCritical);
  }
}

void BenchForm::OnCmdSendClick() {
  if (busy_ || state_ != FormState::kConnected || !driver_) return;
  BusyScope busy(busy_);
  std::string weight;
  try {
    weight = driver_->GetWeight_();
  } catch (const DriverFault& fault) {
    view_.ShowMessage(fault.what(), MessageIcon::kCritical);
    return;
  }
  view_.SetCaption(ControlId::kLblInput, weight);
}

void BenchForm::OnCmdOffClick() {
  if (busy_) return;
  EnterIdle();
}

void BenchForm::OnUnload() {
  driver_.reset();
  state_ = FormState::kIdle;
}

void BenchForm::EnterIdle() {
  view_.SetEnabled(ControlId::kCmdSend, false);
  view_.SetEnabled(ControlId::kCmdOn, true);
  view_.SetCaption(ControlId::kLblInput, "");
  driver_.reset();
  state_ = FormState::kIdle;
}

}  // namespace weightbench
