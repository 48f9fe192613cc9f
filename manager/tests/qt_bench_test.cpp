// Form1 on the Qt offscreen platform, clicked as an operator would, against the real driver
// library and the virtual scale. Message boxes are answered by a timer that records them.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <optional>
#include <vector>

#include "form1.h"

using weightbench::ControlId;
using weightbench::Form1;

namespace {

struct Seen {
  QString caption;
  QString text;
  QMessageBox::Icon icon;
};

// Accepts every modal message box as soon as it is up, after noting what it said.
class MessageCatcher {
 public:
  MessageCatcher() {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      seen.push_back({box->windowTitle(), box->text(), box->icon()});
      box->accept();
    });
    timer_.start();
  }
  std::vector<Seen> seen;

 private:
  QTimer timer_;
};

// The virtual scale on a pseudo-terminal; its path is the first line it prints.
class VirtualScale {
 public:
  explicit VirtualScale(const QStringList& args) {
    process_.start(qEnvironmentVariable("VIRTUAL_SCALE"), args);
    if (process_.waitForStarted(5000) && process_.waitForReadyRead(5000)) {
      path_ = QString::fromUtf8(process_.readLine()).trimmed();
    }
  }
  ~VirtualScale() {
    process_.write("quit\n");
    if (!process_.waitForFinished(2000)) {
      process_.kill();
      process_.waitForFinished(2000);
    }
  }
  const QString& Path() const { return path_; }
  void Say(const QByteArray& line) {
    process_.write(line + "\n");
    process_.waitForBytesWritten(1000);
  }

 private:
  QProcess process_;
  QString path_;
};

QString Text(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
  if (auto* frame = qobject_cast<QGroupBox*>(widget)) return frame->title();
  if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentText();
  return {};
}

}  // namespace

class QtBenchTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Form1> NewForm() {
    auto form = std::make_unique<Form1>(weightbench::LibraryCandidates("/nonexistent"));
    form->show();
    if (!QTest::qWaitForWindowExposed(form.get())) return nullptr;
    return form;
  }
  void Click(Form1& form, ControlId id) { QTest::mouseClick(form.Control(id), Qt::LeftButton); }
  void SetPort(Form1& form, const QString& text) {
    static_cast<QComboBox*>(form.Control(ControlId::kComboPort))->setEditText(text);
  }

 private slots:
  void initTestCase() {
    QVERIFY2(!qEnvironmentVariable("VIRTUAL_SCALE").isEmpty(), "VIRTUAL_SCALE not set");
    QVERIFY2(!qEnvironmentVariable("QEL_WEIGHER_LIBRARY").isEmpty(), "QEL_WEIGHER_LIBRARY not set");
    driver_library_ = qEnvironmentVariable("QEL_WEIGHER_LIBRARY");
  }

  void init() { qputenv("QEL_WEIGHER_LIBRARY", driver_library_.toUtf8()); }

  // A few controls where the bench's description puts them, the numbers written here rather
  // than taken from the control table, so that a wrong number in the table shows.
  void layoutMatchesTheDescribedTwips() {
    auto form = NewForm();
    QVERIFY(form);
    const int dpi = form->Dpi();
    const auto px = [dpi](int twips) { return (twips * dpi + 720) / 1440; };
    QCOMPARE(form->size(), QSize(px(4230), px(2565)));
    struct Described {
      ControlId id;
      QRect twips;  // inside Frame2, but for Frame2 itself
    };
    const Described described[] = {{ControlId::kFrame2, QRect(120, 120, 3975, 2295)},
                                   {ControlId::kCmdOn, QRect(240, 720, 3495, 375)},
                                   {ControlId::kCmdOff, QRect(240, 1680, 3495, 375)},
                                   {ControlId::kComboPort, QRect(3120, 240, 615, 315)},
                                   {ControlId::kLblInput, QRect(2040, 1200, 1695, 375)}};
    for (const Described& control : described) {
      const QRect& t = control.twips;
      const QRect expected(px(t.x()), px(t.y()), px(t.width()), px(t.height()));
      QWidget* widget = form->Control(control.id);
      QVERIFY2(widget->geometry() == expected, qPrintable(widget->objectName()));
    }
  }

  // Every control where the table puts it, in pixels at the form's DPI.
  void layoutFollowsTheControlTable() {
    auto form = NewForm();
    QVERIFY(form);
    const int dpi = form->Dpi();
    QCOMPARE(form->windowTitle(), QStringLiteral("weightbench"));
    QCOMPARE(form->size(),
             QSize(weightbench::TwipsToPixels(4230, dpi), weightbench::TwipsToPixels(2565, dpi)));
    QWidget* frame = form->Control(ControlId::kFrame2);
    for (const weightbench::ControlEntry& entry : weightbench::kControls) {
      QWidget* widget = form->Control(entry.id);
      const QString name = QString::fromUtf8(entry.name.data(), entry.name.size());
      QCOMPARE(widget->objectName(), name);
      QCOMPARE(widget->parentWidget(), entry.id == ControlId::kFrame2 ? form.get() : frame);
      const QRect expected(weightbench::TwipsToPixels(entry.left, dpi),
                           weightbench::TwipsToPixels(entry.top, dpi),
                           weightbench::TwipsToPixels(entry.width, dpi),
                           weightbench::TwipsToPixels(entry.height, dpi));
      QVERIFY2(widget->geometry() == expected, qPrintable(name));
      QCOMPARE(widget->isEnabled(), entry.enabled_at_start);
      if (entry.kind != weightbench::ControlKind::kComboBox) {
        QCOMPARE(Text(widget), QString::fromUtf8(entry.caption.data(), entry.caption.size()));
      }
    }
    auto* combo = static_cast<QComboBox*>(form->Control(ControlId::kComboPort));
    QCOMPARE(combo->currentText(), QStringLiteral("1"));
    QCOMPARE(combo->count(), 8);
    QCOMPARE(combo->itemText(7), QStringLiteral("8"));
    QVERIFY(combo->isEditable());
    QCOMPARE(form->Control(ControlId::kLblInput)->font().pointSizeF(), 9.75);

    // Tab order by tab index: CmdOff, CmdOn, CmdSend (disabled, skipped by focus), ComboPort.
    std::vector<QString> order;
    QWidget* widget = form->Control(ControlId::kCmdOff);
    for (int i = 0; i < 4; ++i, widget = widget->nextInFocusChain()) {
      while (widget->focusPolicy() == Qt::NoFocus) widget = widget->nextInFocusChain();
      order.push_back(widget->objectName());
    }
    QCOMPARE(order, (std::vector<QString>{"CmdOff", "CmdOn", "CmdSend", "ComboPort"}));
  }

  void readingFromTheVirtualScale() {
    VirtualScale scale({"--weight", "1.234"});
    QVERIFY2(scale.Path().startsWith('/'), "virtual scale printed no path");
    auto form = NewForm();
    QVERIFY(form);
    MessageCatcher catcher;

    SetPort(*form, " " + scale.Path() + " ");
    Click(*form, ControlId::kCmdOn);
    QCOMPARE(catcher.seen.size(), size_t{1});
    QCOMPARE(catcher.seen[0].text, scale.Path() + " -> OK!");
    QCOMPARE(catcher.seen[0].caption, QStringLiteral("weightbench"));
    QCOMPARE(catcher.seen[0].icon, QMessageBox::NoIcon);
    QVERIFY(form->Control(ControlId::kCmdSend)->isEnabled());
    QVERIFY(!form->Control(ControlId::kCmdOn)->isEnabled());

    Click(*form, ControlId::kCmdSend);
    QCOMPARE(Text(form->Control(ControlId::kLblInput)), QStringLiteral("1.234"));
    const QString shot = qEnvironmentVariable("WEIGHTBENCH_SCREENSHOT");
    if (!shot.isEmpty()) QVERIFY(form->grab().save(shot));

    scale.Say("weight 2.5");
    QTest::qWait(100);
    Click(*form, ControlId::kCmdSend);
    QCOMPARE(Text(form->Control(ControlId::kLblInput)), QStringLiteral("2.500"));
    QCOMPARE(catcher.seen.size(), size_t{1});

    Click(*form, ControlId::kCmdOff);
    QCOMPARE(Text(form->Control(ControlId::kLblInput)), QString());
    QVERIFY(!form->Control(ControlId::kCmdSend)->isEnabled());
    QVERIFY(form->Control(ControlId::kCmdOn)->isEnabled());
    QVERIFY(!form->Logic().HasDriver());
  }

  void silentScaleFailsTheProbe() {
    VirtualScale scale({"--mode", "silent"});
    auto form = NewForm();
    QVERIFY(form);
    MessageCatcher catcher;
    SetPort(*form, scale.Path());
    Click(*form, ControlId::kCmdOn);
    QCOMPARE(catcher.seen.size(), size_t{1});
    QCOMPARE(catcher.seen[0].text, QString::fromUtf8("Нет связи с вессами RLS1000!"));
    QCOMPARE(catcher.seen[0].icon, QMessageBox::Critical);
    QVERIFY(!form->Control(ControlId::kCmdSend)->isEnabled());
    QVERIFY(form->Logic().HasDriver());
  }

  // The driver's own message comes first, as a modal box with the driver's caption.
  void missingPortShowsTheDriverMessageFirst() {
    auto form = NewForm();
    QVERIFY(form);
    MessageCatcher catcher;
    SetPort(*form, "/nonexistent/ttyQEL");
    Click(*form, ControlId::kCmdOn);
    QCOMPARE(catcher.seen.size(), size_t{2});
    QCOMPARE(catcher.seen[0].caption, QStringLiteral("Qel_weigher"));
    QVERIFY2(catcher.seen[0].text.startsWith(
                 QString::fromUtf8("Не могу открыть порт /nonexistent/ttyQEL: ")),
             qPrintable(catcher.seen[0].text));
    QCOMPARE(catcher.seen[0].icon, QMessageBox::NoIcon);
    QCOMPARE(catcher.seen[1].text, QString::fromUtf8("Нет связи с вессами RLS1000!"));
  }

  void missingLibraryShowsTheCreationFailure() {
    qputenv("QEL_WEIGHER_LIBRARY", "/nonexistent/libqel_weigher.so");
    auto form = NewForm();
    QVERIFY(form);
    MessageCatcher catcher;
    Click(*form, ControlId::kCmdOn);
    QCOMPARE(catcher.seen.size(), size_t{1});
    QCOMPARE(catcher.seen[0].text,
             QString::fromUtf8("Нет связи с Qel_weigher.dll!\n\rперезапустите программу"));
    QCOMPARE(catcher.seen[0].icon, QMessageBox::Critical);
    QCOMPARE(catcher.seen[0].caption, QStringLiteral("weightbench"));
    QVERIFY(!form->Logic().HasDriver());
    QVERIFY(form->Control(ControlId::kCmdOn)->isEnabled());
  }

 private:
  QString driver_library_;
};

QTEST_MAIN(QtBenchTest)
#include "qt_bench_test.moc"
