#include "app/upgrade_workflow.h"

#include "app/upgrade_view.h"
#include "device/device.h"
#include "service/operations.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/text.h"

namespace {

constexpr int kRestartingFrom = 95;
constexpr int kFinishedFrom = 100;

bool IsWriting(UpgradeState state) {
  return state == UpgradeState::kUpgrading || state == UpgradeState::kRestarting;
}

// The look of each state (the table in the header).
UpgradeScreen ScreenOf(UpgradeState state, int barPos) {
  switch (state) {
    case UpgradeState::kIdle:
    case UpgradeState::kPreparing:
      return {QStringLiteral("升级"), true, false, barPos, PeriodicJob::kProbe};
    case UpgradeState::kUpgrading:
      return {QStringLiteral("升级中"), false, true, barPos, PeriodicJob::kProgressPoll};
    case UpgradeState::kRestarting:
      return {QStringLiteral("重启中"), false, true, barPos, PeriodicJob::kProgressPoll};
    case UpgradeState::kSucceeded:
      return {QStringLiteral("升级成功"), false, true, barPos, PeriodicJob::kNone};
    case UpgradeState::kFailed:
      return {QStringLiteral("升级失败"), false, true, barPos, PeriodicJob::kNone};
  }
  return {};
}

// The busy cursor for as long as it lives.
class Busy {
 public:
  explicit Busy(UpgradeView& view) : view_(view) { view_.ShowBusy(true); }
  ~Busy() { view_.ShowBusy(false); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  UpgradeView& view_;
};

}  // namespace

UpgradeWorkflow::UpgradeWorkflow(UpgradeView& view) : view_(view) {}

UpgradeState UpgradeWorkflow::Next(UpgradeState state, Event event) {
  using S = UpgradeState;
  switch (event) {
    case Event::kPressed:
      return state == S::kIdle ? S::kPreparing : state;
    case Event::kGaveUp:
      return state == S::kPreparing ? S::kIdle : state;
    case Event::kWriteStarted:
      return state == S::kPreparing ? S::kUpgrading : state;
    case Event::kRestarting:
      return state == S::kUpgrading ? S::kRestarting : state;
    case Event::kWriteOk:
      return IsWriting(state) ? S::kSucceeded : state;
    case Event::kWriteFailed:
      return IsWriting(state) ? S::kFailed : state;
    case Event::kNoticeClosed:
      return state == S::kSucceeded || state == S::kFailed ? S::kIdle : state;
  }
  return state;
}

void UpgradeWorkflow::On(Event event) {
  state_ = Next(state_, event);
  view_.ShowScreen(ScreenOf(state_, barPos_));
}

void UpgradeWorkflow::Start() {
  state_ = UpgradeState::kIdle;
  view_.ShowScreen(ScreenOf(state_, barPos_));
}

void UpgradeWorkflow::Press() {
  if (state_ != UpgradeState::kIdle)
    return;
  const Busy busy(view_);  // the download, the failure reports, the start of the write
  On(Event::kPressed);
  const FirmwareDownload download = DownloadCurrentFirmware(view_.ServiceView());
  if (download.status == FirmwareDownload::Status::kNoFirmwareInfo) {
    On(Event::kGaveUp);  // reported and shown by the download
    return;
  }
  if (download.status == FirmwareDownload::Status::kFailed) {
    GiveUp(Outcome::kDownloadFailed);
    return;
  }
  // The path in the system code page, as the report and the library take it; the library
  // turns it into the file system's encoding to open the file.
  FirmwareInfo.localPath = CStringToAnsi(download.path);
  StartUpgrade(FirmwareInfo.localPath);
}

void UpgradeWorkflow::StartUpgrade(std::string binPath) {
  g_upgradeStartTime = NowMs();
  if (DfuConnect() != 0) {
    GiveUp(Outcome::kConnectFailed, DfuLastError());
    return;
  }
  if (DfuUpgrade(binPath) != 0) {
    // The connection stays open; the next probe closes it first.
    GiveUp(Outcome::kStartRefused, DfuLastError());
    return;
  }
  // The probe stops before the poll starts: a disconnect would cancel the write.
  barPos_ = 0;
  On(Event::kWriteStarted);
}

void UpgradeWorkflow::GiveUp(Outcome outcome, const std::string& libraryError) {
  ReportOutcome(outcome, 0, libraryError);
  // The probe goes on behind the notice.
  view_.ShowError(NoticeText(outcome));
  On(Event::kGaveUp);
}

void UpgradeWorkflow::PollProgress() {
  OnProgress(DfuProgress());
}

void UpgradeWorkflow::OnProgress(unsigned char p) {
  if (!IsWriting(state_))
    return;
  if (p < kFinishedFrom) {
    barPos_ = p;
    view_.ShowScreen(ScreenOf(state_, barPos_));
  }
  LogLine("pos=", p);
  if (p < kRestartingFrom)
    return;  // a figure below 95 after one above does not set the caption back
  if (p < kFinishedFrom) {
    On(Event::kRestarting);
    return;
  }
  FinishUpgrade(p);
}

// The write has ended. No job runs while the notice is open.
void UpgradeWorkflow::FinishUpgrade(unsigned char p) {
  const Busy busy(view_);  // the result report
  if (DfuCheckResult() == 0) {
    DfuReadVersions();
    barPos_ = p;
    On(Event::kWriteOk);
    ReportOutcome(Outcome::kUpgraded);
    view_.ShowSuccess();
  } else {
    On(Event::kWriteFailed);
    const std::string error = DfuLastError();
    ReportOutcome(Outcome::kUpgradeFailed, barPos_, error);
    view_.ShowError(NoticeText(Outcome::kUpgradeFailed));
  }
  On(Event::kNoticeClosed);
  DfuDisconnect();
}

void UpgradeWorkflow::ProbeDevice() {
  if (state_ != UpgradeState::kIdle && state_ != UpgradeState::kPreparing)
    return;
  DfuDisconnect();
  if (DfuConnect() != 0) {
    view_.ShowConnection(false);
    return;
  }
  DfuDisconnect();
  LogLine("设备已连接");
  view_.ShowConnection(true);
}
