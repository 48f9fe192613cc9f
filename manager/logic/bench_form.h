// Form1's behaviour without any drawing: the three states, the five handlers and their
// messages. Each toolkit implements View and DriverFactory and forwards its events here.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "control_table.h"
#include "message_icon.h"

namespace weightbench {

// Texts are UTF-8. The creation-failure text has LF before CR, as the operators know it.
inline constexpr std::string_view kCreationFailedText =
    "Нет связи с Qel_weigher.dll!\n\rперезапустите программу";
inline constexpr std::string_view kProbeFailedText = "Нет связи с вессами RLS1000!";
inline constexpr std::string_view kProbeOkSuffix = " -> OK!";

using qel::MessageIcon;

// A driver call that did not complete (a runtime fault raised by the driver, or a broken
// binding). Carries the text to show to the operator.
class DriverFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One driver object. Destroying it releases the reference the form holds.
class Driver {
 public:
  virtual ~Driver() = default;
  // True exactly when the driver answered the automation True.
  virtual bool OpenComPort_(const std::string& port) = 0;
  virtual std::string GetWeight_() = 0;
};

class DriverFactory {
 public:
  virtual ~DriverFactory() = default;
  // A new object, or nullptr when the driver cannot be created (missing, not registered).
  virtual std::unique_ptr<Driver> Create() = 0;
};

class View {
 public:
  virtual ~View() = default;
  virtual void SetCaption(ControlId control, const std::string& text) = 0;
  virtual void SetEnabled(ControlId control, bool enabled) = 0;
  virtual void SetComboItems(const std::vector<std::string>& items) = 0;
  virtual std::string ComboText() = 0;
  // Modal, OK button only, caption "weightbench"; returns when dismissed.
  virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
};

enum class FormState { kIdle, kProbeFailed, kConnected };

enum class PortNaming {
  kComOnly,          // "COM" + trimmed text, always
  kComOrDevicePath,  // as kComOnly, but a trimmed text starting with "/" is used as it stands
};

// Spaces (only spaces) removed at both ends.
std::string TrimSpaces(std::string_view text);
// The port name the bench passes to OpenComPort_ for the combo box text.
std::string PortNameFor(std::string_view combo_text, PortNaming naming);

class BenchForm {
 public:
  BenchForm(View& view, DriverFactory& factory, PortNaming naming = PortNaming::kComOnly);
  ~BenchForm();
  BenchForm(const BenchForm&) = delete;
  BenchForm& operator=(const BenchForm&) = delete;

  // The toolkit creates the controls with their captions and start states from the table;
  // OnLoad then fills the port list.
  void OnLoad();
  void OnCmdOnClick();
  void OnCmdSendClick();
  void OnCmdOffClick();
  void OnUnload();

  FormState State() const { return state_; }
  bool HasDriver() const { return driver_ != nullptr; }
  // True while a handler waits in a driver call or a message box. Windows the driver opens
  // itself may leave Form1 clickable meanwhile; those clicks are ignored, and the toolkit
  // must not end the window (it would free the object under the running call).
  bool Busy() const { return busy_; }

 private:
  void EnterIdle();

  View& view_;
  DriverFactory& factory_;
  PortNaming naming_;
  std::unique_ptr<Driver> driver_;
  FormState state_ = FormState::kIdle;
  bool busy_ = false;
};

}  // namespace weightbench
