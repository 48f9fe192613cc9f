// Form1 drawn with Qt Widgets from the control table; every event goes to BenchForm.
#pragma once

#include <QWidget>
#include <map>
#include <memory>
#include <string>

#include "bench_form.h"
#include "driver_library.h"

class QCloseEvent;
class QComboBox;

namespace weightbench {

class Form1 : public QWidget, public View {
 public:
  // `library_candidates`: where to look for the driver library, in order.
  explicit Form1(std::vector<std::string> library_candidates, QWidget* parent = nullptr);
  ~Form1() override;

  QWidget* Control(ControlId id) const { return controls_.at(id); }
  const BenchForm& Logic() const { return *logic_; }
  int Dpi() const { return dpi_; }

  // View
  void SetCaption(ControlId control, const std::string& text) override;
  void SetEnabled(ControlId control, bool enabled) override;
  void SetComboItems(const std::vector<std::string>& items) override;
  std::string ComboText() override;
  void ShowMessage(const std::string& text, MessageIcon icon) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  // Every message box the window shows, the bench's own and the driver's, modal to Form1.
  void ShowMessageBox(const QString& caption, const std::string& text, MessageIcon icon);

  int dpi_;
  std::map<ControlId, QWidget*> controls_;
  QComboBox* combo_ = nullptr;
  QelLibraryFactory factory_;
  std::unique_ptr<BenchForm> logic_;
};

}  // namespace weightbench
