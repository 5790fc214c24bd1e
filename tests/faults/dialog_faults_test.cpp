// A representative row of the fault matrix for each outcome, through the real main dialog on
// the offscreen platform: the start-up, a click on the upgrade button, the dialog's own
// one-second progress poll, the real notices (closed by a watcher as a user would). Each ends
// in its report and notice, the report stored before the notice opened, the dialog back to
// idle within the bounds of the limits, and the dongle on a verified bootable image. The
// bulk of the matrix runs the same calls without the window (service_faults_test,
// dongle_faults_test); the dialog's own tests cover its wiring in detail.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include "app/zav_dlg.h"
#include "controls/dialog_units.h"
#include "controls/error_dlg.h"
#include "controls/my_progress_bar.h"
#include "controls/success_dlg.h"
#include "controls/upgrade_dlg.h"
#include "tests/faults/fault_bench.h"

namespace faults {
namespace {

using VirtualDongle::Faults;
using VirtualDongle::kFactoryVersion;

struct Seen {
  QString notice;
  std::size_t reportsAtOpen = 0;
  int barPosition = 0;
};

class DialogFaultTest : public FaultBench {
 protected:
  void SetUp() override {
    FaultBench::SetUp();
    watcher_.setInterval(10);
    QObject::connect(&watcher_, &QTimer::timeout, [this] { Watch(); });
    watcher_.start();
  }

  void TearDown() override {
    if (dlg_) {
      dlg_->reject();
      dlg_.reset();
    }
    watcher_.stop();
    FaultBench::TearDown();
  }

  // Closes whatever notice is open, noting what it said and what the service had by then.
  void Watch() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == dlg_.get() || modal == closing_.data())
      return;
    Seen seen;
    seen.reportsAtOpen = StoredReports().size();
    if (auto* error = qobject_cast<CErrorDlg*>(modal)) {
      seen.notice = error->m_pszText.toString();
    } else if (qobject_cast<CSuccessDlg*>(modal) != nullptr) {
      seen.notice = kSuccessNotice;
    } else if (qobject_cast<CUpgradeDlg*>(modal) != nullptr) {
      ++tipDialogs_;
    } else {
      seen.notice = "unexpected " + QString(modal->metaObject()->className());
    }
    if (dlg_) {
      if (auto* bar = DialogItem<CMyProgressBar>(dlg_.get(), 1006))
        seen.barPosition = bar->GetPos();
    }
    if (!seen.notice.isEmpty())
      seen_.push_back(seen);
    closing_ = modal;
    QTimer::singleShot(0, modal, [modal] { qobject_cast<QDialog*>(modal)->accept(); });
  }

  static bool WaitFor(const std::function<bool()>& done, milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
      if (clock.elapsed() > limit.count())
        return false;
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      QTest::qWait(5);
    }
    return true;
  }

  void Open() {
    dlg_ = std::make_unique<CZavDlg>();
    const auto begin = Clock::now();
    {
      QuietStdout quiet;
      dlg_->show();  // the start-up runs before the first show
    }
    EXPECT_LE(Clock::now() - begin, AttemptBound());
    ASSERT_TRUE(WaitFor([&] { return dlg_->isVisible(); }, milliseconds(5000)));
  }

  bool Idle() const {
    auto* button = DialogItem<QAbstractButton>(dlg_.get(), 1004);
    auto* bar = DialogItem<CMyProgressBar>(dlg_.get(), 1006);
    return button->text() == QStringLiteral("升级") && button->isEnabled() && !bar->isVisible() &&
           dlg_->IsTimerRunning(CZavDlg::kTimerProbe) &&
           !dlg_->IsTimerRunning(CZavDlg::kTimerProgress) &&
           (QApplication::activeModalWidget() == nullptr ||
            QApplication::activeModalWidget() == dlg_.get());
  }

  // Clicks the upgrade button and waits until the dialog is idle again after its notice.
  Attempt Click() {
    Attempt a;
    const std::size_t seenBefore = seen_.size();
    const auto begin = Clock::now();
    {
      QuietStdout quiet;
      QTest::mouseClick(DialogItem<QAbstractButton>(dlg_.get(), 1004), Qt::LeftButton);
      a.pollGaveUp = !WaitFor([&] { return seen_.size() > seenBefore && Idle(); },
                              AttemptBound() + milliseconds(3000));
    }
    a.elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - begin);
    for (std::size_t i = seenBefore; i < seen_.size(); ++i) {
      a.notices.push_back(seen_[i].notice);
      a.lastPosition = seen_[i].barPosition;
      EXPECT_EQ(seen_[i].reportsAtOpen, before_ + 1) << "the notice opened before the report";
    }
    return a;
  }

  Attempt Press() {
    before_ = StoredReports().size();
    return Click();
  }

  std::unique_ptr<CZavDlg> dlg_;
  std::vector<Seen> seen_;
  int tipDialogs_ = 0;
  std::size_t before_ = 0;

 private:
  QTimer watcher_;
  QPointer<QWidget> closing_;  // the notices live on the stack: the next may take its place
};

TEST_F(DialogFaultTest, SuccessAfterTheTipAtStartUp) {
  Open();
  EXPECT_EQ(tipDialogs_, 1);
  const Attempt a = Press();
  ExpectRow(a, kRowSuccess, before_);
  ExpectDongleRuns(kNewVersion);
}

TEST_F(DialogFaultTest, BrokenVersionAnswerIsNoFirmwareInformation) {
  Fault(RefEndpoint::VersionGet, WithBody(RefFault::Body::Malformed));
  Open();
  const Attempt a = Press();
  ExpectRow(a, kRowNoInfo, before_);
  ExpectDongleRuns(kFactoryVersion);
}

// The version query stalls: the dialog is blocked for no longer than the request limit, at
// the start-up and at the press.
TEST_F(DialogFaultTest, StalledServiceIsBounded) {
  Fault(RefEndpoint::VersionGet, Stall());
  Open();
  const Attempt a = Press();
  ExpectRow(a, kRowNoInfo, before_);
  EXPECT_GE(a.elapsed, kRequestLimit);
}

TEST_F(DialogFaultTest, MissingFileIsADownloadFailure) {
  Open();
  Fault(RefEndpoint::Files, Status(404));
  const Attempt a = Press();
  ExpectRow(a, kRowDownload, before_);
  ExpectDongleRuns(kFactoryVersion);
}

TEST_F(DialogFaultTest, AbsentDongleIsAConnectFailure) {
  Open();
  VirtualDongle::Unplug();
  const Attempt a = Press();
  ExpectRow(a, kRowConnect, before_);
  // The probe behind the notice goes on and tells the user.
  EXPECT_TRUE(WaitFor(
      [&] { return DialogItem<QLabel>(dlg_.get(), 1025)->text() == QStringLiteral("设备未连接"); },
      milliseconds(3000)));
}

TEST_F(DialogFaultTest, RefusedStartIsAStartFailure) {
  Open();
  Faults f;
  f.refuseStart = VirtualDongle::Refusal::kBatteryLow;
  VirtualDongle::SetFaults(f);
  const Attempt a = Press();
  ExpectRow(a, kRowStart, before_);
  ExpectDongleRuns(kFactoryVersion);
}

// Power lost halfway: the full-speed model, so that the one-second poll sees the bar move.
TEST_F(DialogFaultTest, UnplugHalfwayIsAFailedUpgradeAtTheBarsPosition) {
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  const std::string big = (dir_.path() / "big.bin").string();
  std::string error;
  ASSERT_TRUE(hiddfu::WriteFilledImage(big, kNewVersion, 256 * 1024, 5, &error)) << error;
  ASSERT_TRUE(WriteCatalogue(
      catalogue_,
      [] {
        CatalogueEntry e;
        e.file = kFirmwareFile;
        e.version = 10207;
        return e;
      }(),
      Slurp(big)));
  Open();
  Faults f;
  f.unplugAtByte = 192 * 1024;  // some three seconds into the write
  VirtualDongle::SetFaults(f);
  const Attempt a = Press();
  ExpectRow(a, kRowUpgrade, before_);
  EXPECT_GT(a.lastPosition, 0) << "the poll saw no progress before the power went";
  ExpectDongleRuns(kFactoryVersion);
}

// Plugged in again, the dongle tries the committed image, which nobody confirms.
TEST_F(DialogFaultTest, RestartThatNeverEndsIsAFailedUpgradeOnTheOldImage) {
  Open();
  Faults f;
  f.restartNeverEnds = true;
  VirtualDongle::SetFaults(f);
  const Attempt a = Press();
  ExpectRow(a, kRowUpgrade, before_);
  VirtualDongle::SetFaults({});
  VirtualDongle::Plug();
  ExpectDongleRuns(kFactoryVersion);
}

}  // namespace
}  // namespace faults
