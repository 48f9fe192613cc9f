#include "form1.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <utility>
#include <vector>

namespace weightbench {
namespace {

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

Form1::Form1(std::vector<std::string> library_candidates, QWidget* parent)
    : QWidget(parent),
      dpi_(logicalDpiX()),
      factory_(std::move(library_candidates),
               [this](const std::string& text, const std::string& caption, MessageIcon icon) {
                 ShowMessageBox(Utf8(caption), text, icon);
               }) {
  setObjectName(Utf8(kFormName));
  setWindowTitle(Utf8(kFormCaption));
  setFixedSize(TwipsToPixels(kClientWidthTwips, dpi_), TwipsToPixels(kClientHeightTwips, dpi_));
  // The captions are sized for the classic 8 pt form font; the desktop's larger default
  // would clip them.
  QFont form_font = font();
  form_font.setPointSizeF(kFormFontPoints);
  setFont(form_font);
  BuildControls();
  logic_ = std::make_unique<BenchForm>(*this, factory_, PortNaming::kComOrDevicePath);
  logic_->OnLoad();
}

Form1::~Form1() {
  if (logic_) logic_->OnUnload();
}

void Form1::BuildControls() {
  auto* frame = new QGroupBox(this);
  for (const ControlEntry& entry : kControls) {
    QWidget* parent = entry.id == ControlId::kFrame2 ? static_cast<QWidget*>(this) : frame;
    QWidget* widget = nullptr;
    switch (entry.kind) {
      case ControlKind::kFrame:
        frame->setTitle(Utf8(entry.caption));
        widget = frame;
        break;
      case ControlKind::kLabel: {
        auto* label = new QLabel(Utf8(entry.caption), parent);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
      }
      case ControlKind::kComboBox:
        combo_ = new QComboBox(parent);
        combo_->setEditable(true);
        combo_->setInsertPolicy(QComboBox::NoInsert);  // typed text is used, not listed
        combo_->setEditText(Utf8(entry.caption));
        widget = combo_;
        break;
      case ControlKind::kButton: {
        auto* button = new QPushButton(Utf8(entry.caption), parent);
        button->setAutoDefault(false);
        widget = button;
        break;
      }
    }
    widget->setObjectName(Utf8(entry.name));
    widget->setGeometry(TwipsToPixels(entry.left, dpi_), TwipsToPixels(entry.top, dpi_),
                        TwipsToPixels(entry.width, dpi_), TwipsToPixels(entry.height, dpi_));
    widget->setEnabled(entry.enabled_at_start);
    controls_[entry.id] = widget;
  }

  // Qt has no character-set field; the Cyrillic charset is what the family's glyphs cover.
  QFont font(Utf8(kLblInputFontFace));
  font.setPointSizeF(kLblInputFontCentiPoints / 100.0);
  font.setWeight(QFont::Normal);
  controls_[ControlId::kLblInput]->setFont(font);

  // kControls is in tab-index order; only buttons and the combo box take focus.
  QWidget* previous = nullptr;
  for (const ControlEntry& entry : kControls) {
    if (entry.kind != ControlKind::kButton && entry.kind != ControlKind::kComboBox) continue;
    QWidget* widget = controls_[entry.id];
    if (previous != nullptr) QWidget::setTabOrder(previous, widget);
    previous = widget;
  }

  connect(static_cast<QPushButton*>(controls_[ControlId::kCmdOn]), &QPushButton::clicked, this,
          [this] { logic_->OnCmdOnClick(); });
  connect(static_cast<QPushButton*>(controls_[ControlId::kCmdSend]), &QPushButton::clicked, this,
          [this] { logic_->OnCmdSendClick(); });
  connect(static_cast<QPushButton*>(controls_[ControlId::kCmdOff]), &QPushButton::clicked, this,
          [this] { logic_->OnCmdOffClick(); });
}

void Form1::SetCaption(ControlId control, const std::string& text) {
  QWidget* widget = controls_.at(control);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(Utf8(text));
  } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(Utf8(text));
  } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
    frame->setTitle(Utf8(text));
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    combo->setEditText(Utf8(text));
  }
}

void Form1::SetEnabled(ControlId control, bool enabled) {
  controls_.at(control)->setEnabled(enabled);
}

void Form1::SetComboItems(const std::vector<std::string>& items) {
  const QString text = combo_->currentText();
  combo_->clear();
  for (const std::string& item : items) combo_->addItem(Utf8(item));
  combo_->setEditText(text);  // adding items must not change the text
}

std::string Form1::ComboText() { return combo_->currentText().toStdString(); }

void Form1::ShowMessage(const std::string& text, MessageIcon icon) {
  ShowMessageBox(Utf8(kFormCaption), text, icon);
}

void Form1::ShowMessageBox(const QString& caption, const std::string& text, MessageIcon icon) {
  QMessageBox box(icon == MessageIcon::kCritical ? QMessageBox::Critical : QMessageBox::NoIcon,
                  caption, Utf8(text), QMessageBox::Ok, this);
  box.exec();
}

void Form1::closeEvent(QCloseEvent* event) {
  // A driver call or message box is still on the stack; ending now would free the object
  // under it.
  if (logic_->Busy()) {
    event->ignore();
    return;
  }
  logic_->OnUnload();
  event->accept();
}

}  // namespace weightbench
