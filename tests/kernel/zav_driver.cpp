// A user at the keyboard, for the tool as it ships: preloaded into `zav` (LD_PRELOAD), which
// has no command line, it looks at the tool's windows ten times a second as a user would and
// acts on them as ZAV_DRIVER says, and writes what it saw, a line each with the time (the
// monotonic clock, in ms), into the file ZAV_DRIVER_LOG:
//   label TEXT            the connection label changed
//   caption TEXT          the upgrade button's caption changed
//   notice TITLE: TEXT    a notice opened (it is closed at once with its OK button)
//   pressed               the upgrade button was pressed
//   step NAME             a step of the script is done
// ZAV_DRIVER is a list of steps separated by spaces, each waited for in turn:
//   connected      the probe has run once and the label reads "设备已连接"
//   disconnected   the label reads "设备未连接"
//   press          press the upgrade button
//   notice         a notice has opened and been closed
//   upgrade        press, and wait for the notice; a failed connect is pressed again, twice
//                  at most, and its notice logged as "retried": the emulated machine of the
//                  kernel rig is so slow that the probe's 200 ms, ample on real hardware,
//                  are now and then not enough
//   idle           the button reads "升级" again and is enabled
//   wait:NAME      a file NAME has appeared beside the log (the test's go-ahead)
//   quit           close the tool
// A notice opened while no step waits for one (the upgrade tip at start-up) is closed too.
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <string>

namespace {

const QString kConnected = QStringLiteral("设备已连接");
const QString kDisconnected = QStringLiteral("设备未连接");
const QString kUpgrade = QStringLiteral("升级");
const QString kMainTitle = QStringLiteral("Marlo升级工具");
const QString kConnectFailed = QStringLiteral("设备未成功连接，请进行检查！");
constexpr int kConnectTries = 3;
// The probe's first tick comes a second after the dialog is up; until then the label shows
// its template text, which reads "connected" whatever the dongle does.
constexpr qint64 kFirstProbeMs = 1500;

class Driver : public QObject {
 public:
  Driver() {
    steps_ = QString::fromLocal8Bit(qgetenv("ZAV_DRIVER")).split(' ', Qt::SkipEmptyParts);
    log_.setFileName(QString::fromLocal8Bit(qgetenv("ZAV_DRIVER_LOG")));
    log_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    clock_.start();
    startTimer(100);
  }

 protected:
  void timerEvent(QTimerEvent*) override {
    QWidget* main = MainDialog();
    if (main && shownAt_ < 0 && main->isVisible())
      shownAt_ = clock_.elapsed();
    Watch(main);
    const QString notice = CloseNotice();
    const bool retry = !steps_.isEmpty() && steps_.front() == "upgrade" && pressed_ &&
                       notice.endsWith(kConnectFailed) && ++tries_ < kConnectTries;
    if (!notice.isEmpty())
      Write((retry ? "retried " : "notice ") + notice);
    if (retry)
      pressed_ = false;
    if (!steps_.isEmpty() && Done(steps_.front(), main, !notice.isEmpty() && !retry))
      Write("step " + steps_.takeFirst());
  }

 private:
  static QWidget* MainDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->windowTitle() == kMainTitle)
        return w;
    }
    return nullptr;
  }

  // The connection label and the upgrade button, found by what they show.
  static QLabel* ConnectionLabel(QWidget* main) {
    for (QLabel* label : main->findChildren<QLabel*>()) {
      if (label->text() == kConnected || label->text() == kDisconnected)
        return label;
    }
    return nullptr;
  }
  // Found by its caption while it reads "升级", then kept: its caption changes.
  QAbstractButton* UpgradeButton(QWidget* main) {
    for (QAbstractButton* b : main->findChildren<QAbstractButton*>()) {
      if (!button_ && b->text() == kUpgrade)
        button_ = b;
    }
    return button_;
  }

  void Write(const QString& line) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    log_.write((QString::number(now.count()) + ' ' + line + '\n').toUtf8());
  }

  void Watch(QWidget* main) {
    if (!main)
      return;
    if (QLabel* label = ConnectionLabel(main); label && label->text() != label_) {
      label_ = label->text();
      Write("label " + label_);
    }
    if (QAbstractButton* b = UpgradeButton(main); b && b->text() != caption_) {
      caption_ = b->text();
      Write("caption " + caption_);
    }
  }

  // Closes the notice in front, if there is one: "TITLE: TEXT", or nothing.
  static QString CloseNotice() {
    auto* notice = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!notice || notice->windowTitle() == kMainTitle || !notice->isVisible())
      return {};
    QStringList texts;
    for (QLabel* label : notice->findChildren<QLabel*>()) {
      if (label->isVisible() && !label->text().isEmpty())
        texts << label->text();
    }
    notice->accept();
    return notice->windowTitle() + ": " + texts.join(" | ");
  }

  bool Done(const QString& step, QWidget* main, bool noticeClosed) {
    if (step == "notice")
      return noticeClosed;
    if (step == "upgrade" && pressed_) {
      if (noticeClosed)
        pressed_ = false, tries_ = 0;
      return noticeClosed;
    }
    if (step.startsWith("wait:"))
      return QFileInfo(QFileInfo(log_).dir(), step.mid(5)).exists();
    if (!main || shownAt_ < 0)
      return false;
    const bool probed = clock_.elapsed() - shownAt_ >= kFirstProbeMs;
    if (step == "connected")
      return probed && label_ == kConnected;
    if (step == "disconnected")
      return probed && label_ == kDisconnected;
    QAbstractButton* button = UpgradeButton(main);
    const bool ready = button && button->isEnabled() && button->text() == kUpgrade;
    if (step == "idle")
      return ready;
    if ((step == "press" || step == "upgrade") && ready) {
      Write("pressed");
      // The press runs the whole blocking start of an upgrade: after this tick.
      QTimer::singleShot(0, button, &QAbstractButton::click);
      pressed_ = step == "upgrade";
      return step == "press";
    }
    if (step == "quit") {
      main->close();
      return true;
    }
    return false;
  }

  QStringList steps_;
  QFile log_;
  QElapsedTimer clock_;
  qint64 shownAt_ = -1;
  QString label_;
  QString caption_;
  QPointer<QAbstractButton> button_;
  bool pressed_ = false;  // an "upgrade" step has pressed and waits for its notice
  int tries_ = 0;
};

void StartDriver() {
  // Made once the application object exists; it lives as long as that does.
  auto* driver = new Driver;
  driver->setParent(QCoreApplication::instance());
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriver)
