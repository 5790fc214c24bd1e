// The upgrade workflow through the real dialog: every outcome as the service stored its
// report and as the notice showed it, the progress captions, the presence probe.
#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <utility>

#include "controls/dialog_units.h"
#include "hiddfu/hiddfu.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "service/operations.h"
#include "support/clock.h"
#include "support/text.h"
#include "tests/app/app_fixture.h"
#include "tests/common/stdout_capture.h"

using nlohmann::json;

namespace {

std::vector<int> LoggedPositions(const std::string& log) {
  std::vector<int> positions;
  for (const std::string& line : SplitLines(log)) {
    if (line.rfind("pos=", 0) == 0)
      positions.push_back(std::atoi(line.c_str() + 4));
  }
  return positions;
}

}  // namespace

class WorkflowTest : public AppTest {
 protected:
  // The one report and the one notice of an attempt; the report was stored before the notice
  // opened.
  void ExpectOneReportThenNotice(const char* noticeClass, const QString& text) {
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_EQ(notices_[0].cls, noticeClass);
    EXPECT_EQ(notices_[0].text, text);
    EXPECT_EQ(notices_[0].reportsAtOpen, 1u) << "the notice opened before the report was sent";
  }

  // The one failure report; its message is `message`, or holds it where `whole` is false.
  void ExpectFailureReport(const char* errorCode, const std::string& progress,
                           const std::string& message, bool firmware, bool whole = true) {
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const json& r = reports[0];
    EXPECT_EQ(Member(r, "code"), "0");
    EXPECT_EQ(Member(r, "errorCode"), errorCode);
    EXPECT_EQ(Member(r, "errorProgress"), progress);
    if (whole)
      EXPECT_EQ(Member(r, "errorMsg"), message);
    else
      EXPECT_NE(Member(r, "errorMsg").find(message), std::string::npos) << Member(r, "errorMsg");
    EXPECT_EQ(HasFirmwareMembers(r), firmware) << r.dump();
    for (const char* os : {"osMajor", "osMinor", "osNumber", "osType"})
      EXPECT_TRUE(r.contains(os)) << os;
  }

  std::string DownloadedPath() const { return (Documents() / Firmware().file).string(); }
};

// ---- Outcomes before the write ---------------------------------------------------------------

TEST_F(WorkflowTest, NoFirmwareInformationReportsCodeFourAndLeavesTheDeviceAlone) {
  Open();
  RefFault fault;
  fault.body = RefFault::Body::Empty;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle());
  ExpectOneReportThenNotice("CErrorDlg", "未获取到升级文件，请检查网络！");
  ExpectFailureReport("4", "0", "未获取到升级文件的信息！", false);
  EXPECT_EQ(VirtualDongle::GetStats().starts, 0u);
  // The probe went on behind the notice.
  EXPECT_TRUE(notices_[0].main.probeTimer);
}

// The notice stays open for a while: the probe keeps running behind it and the label follows.
TEST_F(WorkflowTest, FailedConnectReportsCodeZeroAndTheProbeKeepsRunning) {
  Open();
  VirtualDongle::Unplug();
  holdMs_ = 1600;
  QString labelBehindNotice;
  duringNotice_ = [&](QWidget*) {
    labelBehindNotice = DialogItem<QLabel>(dlg_.get(), 1025)->text();
  };
  const std::int64_t before = NowMs();
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle());
  ExpectOneReportThenNotice("CErrorDlg", "设备未成功连接，请进行检查！");
  // The file had been downloaded: the report names it.
  ExpectFailureReport("0", "0", "device not found", true, false);
  const json r = Reports()[0];
  EXPECT_EQ(Member(r, "binPath"), DownloadedPath());
  EXPECT_EQ(Member(r, "binName"), Firmware().file);
  EXPECT_EQ(r.at("binVersion"), Firmware().version);
  EXPECT_EQ(Member(r, "binBizId"), Firmware().bizId);
  EXPECT_GE(g_upgradeStartTime, before);
  EXPECT_LT(r.at("timeSpent").get<std::int64_t>(), 5000);

  EXPECT_EQ(labelBehindNotice, "设备未连接");
  EXPECT_FALSE(notices_[0].main.barVisible);
  EXPECT_TRUE(notices_[0].main.enabled);
  EXPECT_FALSE(SawCaption("升级中"));
  EXPECT_TRUE(std::filesystem::exists(DownloadedPath()));  // never deleted
}

TEST_F(WorkflowTest, RefusedStartReportsCodeOneAndTheNextProbeClosesTheConnection) {
  Open();
  VirtualDongle::Faults faults;
  faults.refuseStart = VirtualDongle::Refusal::kBatteryLow;
  VirtualDongle::SetFaults(faults);
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle());
  ExpectOneReportThenNotice("CErrorDlg", "设备升级失败，请进行检查！");
  ExpectFailureReport("1", "0", "battery", true, false);
  EXPECT_FALSE(SawCaption("升级中"));
  EXPECT_EQ(VirtualDongle::RunningVersion(), VirtualDongle::kFactoryVersion);

  // The connection left open does not get in the probe's way.
  StdoutCapture capture;
  ASSERT_TRUE(
      WaitFor([&] { return capture.Peek().find("设备已连接\n") != std::string::npos; }, 2500));
  EXPECT_EQ(State().connection, "设备已连接");
}

// ---- Outcomes of the write -------------------------------------------------------------------

// Instant timing: the first poll already reads the end figure, here 150, which ends the upgrade
// like 100. The bar jumps from 0 to 100 and the caption never reads "重启中".
TEST_F(WorkflowTest, SuccessfulUpgradeJumpsToHundredAndReportsCodeOne) {
  VirtualDongle::Faults faults;
  faults.completionFigure = 150;
  VirtualDongle::SetFaults(faults);
  Open();
  StdoutCapture capture;
  const std::int64_t before = NowMs();
  ClickUpgrade();
  EXPECT_EQ(State().caption, "升级中");
  EXPECT_FALSE(State().enabled);
  EXPECT_TRUE(State().barVisible);
  EXPECT_TRUE(State().progressTimer);
  EXPECT_FALSE(State().probeTimer);
  ASSERT_TRUE(WaitIdle());
  const std::string log = capture.Stop();

  ExpectOneReportThenNotice("CSuccessDlg", "设备升级成功，欢迎畅享新版本！");
  const json r = Reports()[0];
  EXPECT_EQ(Member(r, "code"), "1");
  EXPECT_EQ(Member(r, "errorCode"), "");
  EXPECT_EQ(Member(r, "errorProgress"), "100");
  EXPECT_EQ(Member(r, "errorMsg"), "");
  ASSERT_TRUE(HasFirmwareMembers(r));
  EXPECT_EQ(Member(r, "binPath"), DownloadedPath());
  EXPECT_EQ(r.at("binSize").get<std::int64_t>(),
            static_cast<std::int64_t>(std::filesystem::file_size(DownloadedPath())));
  const std::int64_t spent = r.at("timeSpent").get<std::int64_t>();
  EXPECT_GE(spent, 900);  // at least the one poll period
  EXPECT_LE(spent, NowMs() - before);

  const DialogState& atNotice = notices_[0].main;
  EXPECT_EQ(atNotice.caption, "升级成功");
  EXPECT_FALSE(atNotice.enabled);
  EXPECT_TRUE(atNotice.barVisible);
  EXPECT_EQ(atNotice.barPos, 100);  // given 150, held at the top of the range
  EXPECT_FALSE(atNotice.progressTimer) << "timer 1 runs while the notice is open";
  EXPECT_FALSE(atNotice.probeTimer) << "timer 2 runs while the notice is open";
  EXPECT_FALSE(SawCaption("重启中"));
  for (const DialogState& s : States()) {
    if (s.barVisible && s.caption == "升级中") {
      EXPECT_EQ(s.barPos, 0) << "the bar moved before the first poll";
    }
  }

  EXPECT_EQ(LoggedPositions(log), std::vector<int>{150});
  EXPECT_TRUE(HasLine(log, "major=1, minor=2, release=0, build=7")) << log;
  EXPECT_EQ(VirtualDongle::RunningVersion(), kNewVersion);
  EXPECT_EQ(VirtualDongle::ActiveSlot(), 1);
  // After the notice the library was disconnected: a connect works at once.
  EXPECT_EQ(hidDfuDisconnect(), 0);
}

// The device fails its check within the first second: the first poll reads 100 and the bar
// was never moved, so the report says "0".
TEST_F(WorkflowTest, WriteFailingBeforeTheFirstPollReportsCodeTwoAtZero) {
  VirtualDongle::Faults faults;
  faults.failVerification = true;
  VirtualDongle::SetFaults(faults);
  Open();
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle());
  ExpectOneReportThenNotice("CErrorDlg", "设备升级失败，请检查或重试！");
  ExpectFailureReport("2", "0", "verification failed", true, false);
  EXPECT_EQ(notices_[0].main.caption, "升级失败");
  EXPECT_TRUE(notices_[0].main.barVisible);
  EXPECT_FALSE(notices_[0].main.progressTimer);
  EXPECT_FALSE(notices_[0].main.probeTimer);
  EXPECT_EQ(VirtualDongle::RunningVersion(), VirtualDongle::kFactoryVersion);
}

// The dongle stops answering halfway: the polls show the figure it reached, the library gives
// up after its reply limits, and the report carries the bar's last position.
TEST_F(WorkflowTest, WriteStallingHalfwayReportsTheBarsLastPosition) {
  Publish(Firmware(), 64 * 1024);
  VirtualDongle::Faults faults;
  faults.stallAtByte = 32 * 1024;
  VirtualDongle::SetFaults(faults);
  Open();
  StdoutCapture capture;
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle(8000));
  const std::string log = capture.Stop();

  const std::vector<int> positions = LoggedPositions(log);
  ASSERT_GE(positions.size(), 2u) << log;
  EXPECT_EQ(positions.back(), 100);
  const int last = positions[positions.size() - 2];
  EXPECT_GT(last, 0);
  EXPECT_LT(last, 94);

  ExpectOneReportThenNotice("CErrorDlg", "设备升级失败，请检查或重试！");
  ExpectFailureReport("2", std::to_string(last), "stopped responding", true, false);
  EXPECT_EQ(notices_[0].main.barPos, last);
  EXPECT_EQ(notices_[0].main.caption, "升级失败");
  EXPECT_FALSE(SawCaption("重启中"));
  EXPECT_EQ(VirtualDongle::ActiveSlot(), 0);
}

// ---- Progress captions -----------------------------------------------------------------------

// The verification reply is lost: the library waits for it with the whole image sent, 93.
// The highest figure the transfer reaches still reads "升级中".
TEST_F(WorkflowTest, FigureJustBelowTheRestartKeepsTheUpgradingCaption) {
  ASSERT_EQ(hidDfuSetTimeouts(2200, kRebootMs), 0);
  VirtualDongle::Faults faults;
  faults.dropVerifyReply = true;
  VirtualDongle::SetFaults(faults);
  Open();
  StdoutCapture capture;
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle(8000));
  const std::vector<int> positions = LoggedPositions(capture.Stop());
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.front(), 93);
  EXPECT_EQ(positions.back(), 100);
  bool sawIt = false;
  for (const DialogState& s : States()) {
    if (s.barVisible && s.barPos == 93) {
      sawIt = true;
      EXPECT_EQ(s.caption, "升级中");
    }
  }
  EXPECT_TRUE(sawIt);
  EXPECT_FALSE(SawCaption("重启中"));
  EXPECT_EQ(Member(Reports()[0], "code"), "1");
}

// The dongle restarts but stays off the bus: the polls read the restart figures ("重启中").
// Plugged in again it finishes; the bar is given 100.
TEST_F(WorkflowTest, RestartShowsTheRestartingCaptionUntilTheDeviceIsBack) {
  ASSERT_EQ(hidDfuSetTimeouts(kReplyMs, 15000), 0);
  VirtualDongle::Faults faults;
  faults.restartNeverEnds = true;
  VirtualDongle::SetFaults(faults);
  Open();
  ClickUpgrade();
  ASSERT_TRUE(WaitFor([&] { return State().caption == "重启中"; }, 3000));
  const DialogState restarting = State();
  EXPECT_GE(restarting.barPos, 95);
  EXPECT_LE(restarting.barPos, 99);
  EXPECT_FALSE(restarting.enabled);
  EXPECT_TRUE(restarting.progressTimer);
  VirtualDongle::Plug();
  ASSERT_TRUE(WaitIdle(5000));
  ExpectOneReportThenNotice("CSuccessDlg", "设备升级成功，欢迎畅享新版本！");
  EXPECT_EQ(notices_[0].main.caption, "升级成功");
  EXPECT_EQ(notices_[0].main.barPos, 100);
  EXPECT_EQ(Member(Reports()[0], "errorProgress"), "100");
}

// The steps of one poll at the thresholds, fed one figure at a time while the bar is shown.
TEST_F(WorkflowTest, PollStepsAtTheThresholds) {
  CZavDlg& dlg = Open();
  dlg.EnterUpgradingState();
  StdoutCapture capture;
  dlg.OnProgress(94);
  EXPECT_EQ(State().caption, "升级中");
  EXPECT_EQ(State().barPos, 94);
  dlg.OnProgress(95);
  EXPECT_EQ(State().caption, "重启中");
  EXPECT_EQ(State().barPos, 95);
  dlg.OnProgress(90);  // a figure below 95 does not set the caption back
  EXPECT_EQ(State().caption, "重启中");
  EXPECT_EQ(State().barPos, 90);
  dlg.OnProgress(99);
  EXPECT_EQ(State().caption, "重启中");
  EXPECT_EQ(State().barPos, 99);
  EXPECT_TRUE(State().progressTimer);
  EXPECT_EQ(LoggedPositions(capture.Stop()), (std::vector<int>{94, 95, 90, 99}));

  // With the bar hidden a poll does nothing at all.
  DialogItem<QWidget>(&dlg, 1006)->hide();
  StdoutCapture hidden;
  dlg.OnProgress(100);
  EXPECT_EQ(hidden.Stop(), "");
  EXPECT_TRUE(State().progressTimer);
  EXPECT_TRUE(Reports().empty());
  EXPECT_TRUE(notices_.empty());
}

// ---- Presence probe --------------------------------------------------------------------------

TEST_F(WorkflowTest, ConnectionLabelFollowsPlugAndUnplug) {
  StdoutCapture capture;
  Open();
  EXPECT_EQ(State().connection, "设备已连接");  // the template's text until the first probe
  EXPECT_TRUE(State().probeTimer);
  EXPECT_FALSE(State().progressTimer);
  // The first probe, a second later, logs the UTF-8 line.
  ASSERT_TRUE(
      WaitFor([&] { return capture.Peek().find("设备已连接\n") != std::string::npos; }, 2500));
  VirtualDongle::Unplug();
  EXPECT_TRUE(WaitFor([&] { return State().connection == "设备未连接"; }, 2500));
  VirtualDongle::Plug();
  EXPECT_TRUE(WaitFor([&] { return State().connection == "设备已连接"; }, 2500));
  const std::string log = capture.Stop();
  EXPECT_NE(log.find("\xE8\xAE\xBE\xE5\xA4\x87\xE5\xB7\xB2\xE8\xBF\x9E\xE6\x8E\xA5\n"),
            std::string::npos);
  EXPECT_TRUE(Reports().empty());
}

// ---- Closing during an upgrade ---------------------------------------------------------------

// Full-speed timing: the write takes seconds. Escape closes the tool at once, without a
// question, a report, a notice or a disconnect: the write is still running in the library.
TEST_F(WorkflowTest, EscapeDuringAnUpgradeClosesAtOnce) {
  Publish(Firmware(), 512 * 1024);
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  CZavDlg& dlg = Open();
  ClickUpgrade();
  ASSERT_TRUE(WaitFor([&] { return State().barPos > 0; }, 3000));
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_FALSE(dlg.IsTimerRunning(CZavDlg::kTimerProgress));
  EXPECT_FALSE(dlg.IsTimerRunning(CZavDlg::kTimerProbe));
  QTest::qWait(300);
  EXPECT_TRUE(notices_.empty());
  EXPECT_TRUE(Reports().empty());
  EXPECT_LT(hidDfuGetProgress(), 100) << "closing the dialog cancelled the write";
  EXPECT_EQ(VirtualDongle::ActiveSlot(), 0);
}

// ---- Under code page 936 -----------------------------------------------------------------------

// The file name is Chinese: the report names the file in UTF-8, and the library is handed a
// path that opens the downloaded file.
// Every request and the download show the busy cursor while they block the window (looked at
// from the service's side, while the window waits for the delayed answer); no notice opens
// under it, and none is left afterwards.
TEST_F(WorkflowTest, BusyCursorWhileTheServiceBlocksTheWindowNeverOverANotice) {
  CatalogueEntry entry = Firmware();
  entry.tipUrl = "https://localhost/notes";
  Publish(entry);
  RefFault slow;
  slow.delay = std::chrono::milliseconds(300);
  for (RefEndpoint e : {RefEndpoint::VersionGet, RefEndpoint::UpdateTip, RefEndpoint::ResultReport})
    service_->SetFault(e, slow);
  slow.status = 404;
  service_->SetFault(RefEndpoint::Files, slow);

  std::atomic<bool> stop{false};
  std::vector<std::pair<std::string, bool>> seen;  // request path, busy while it waited
  std::thread sampler([&] {
    std::size_t handled = 0;
    while (!stop) {
      const auto requests = service_->Requests();
      if (requests.size() > handled) {
        handled = requests.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seen.emplace_back(requests.back().path, QGuiApplication::overrideCursor() != nullptr);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  Open();
  ClickUpgrade();
  const bool idle = WaitIdle();
  stop = true;
  sampler.join();
  ASSERT_TRUE(idle);

  ASSERT_EQ(seen.size(), 5u);  // version, tip, version, file, report
  for (const auto& [path, busy] : seen)
    EXPECT_TRUE(busy) << path;
  ASSERT_EQ(notices_.size(), 2u);  // the tip, the download error
  for (const SeenNotice& notice : notices_)
    EXPECT_FALSE(notice.busyCursor) << notice.cls;
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(WorkflowTest, GbkChineseFileNameUpgrades) {
  ASSERT_EQ(SystemCodePage(), "GBK");
  CatalogueEntry entry = Firmware();
  entry.file = "固件 1.2.0.7.bin";
  Publish(entry);
  Open();
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(Reports().size(), 1u);
  const json r = Reports()[0];
  EXPECT_EQ(Member(r, "code"), "1") << r.dump();
  EXPECT_EQ(Member(r, "binPath"), (Documents() / "固件 1.2.0.7.bin").string());
  EXPECT_EQ(Member(r, "binName"), "固件 1.2.0.7.bin");
  EXPECT_EQ(VirtualDongle::RunningVersion(), kNewVersion);
  // The record keeps the path in the system code page.
  EXPECT_EQ(AnsiToUtf8(FirmwareInfo.localPath), (Documents() / "固件 1.2.0.7.bin").string());
}

// Documents is "文档" and the image is bad: the library is handed the code-page path, opens
// the file by it and names it in its text as handed, so the report's message holds the path
// intact.
TEST_F(WorkflowTest, GbkBadImageInChineseDocumentsReportsItsPath) {
  ASSERT_EQ(SystemCodePage(), "GBK");
  std::filesystem::create_directories(home_ / ".config");
  std::ofstream(home_ / ".config" / "user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/文档\"\n";
  const CatalogueEntry entry = Firmware();
  std::string image = hiddfu::MakeImageBytes(std::string(4096, 'x'), kNewVersion);
  image[0] = 'X';
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", entry, image));
  Open();
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle());
  ExpectOneReportThenNotice("CErrorDlg", "设备升级失败，请进行检查！");
  ExpectFailureReport(
      "1", "0", "image header invalid: bad magic: " + (home_ / "文档" / entry.file).string(), true);
}

// The download fails: code 3 with its message in UTF-8, no file left, the device untouched.
TEST_F(WorkflowTest, GbkDownloadFailureReportsCodeThreeInUtf8) {
  ASSERT_EQ(SystemCodePage(), "GBK");
  Open();
  RefFault fault;
  fault.status = 500;
  service_->SetFault(RefEndpoint::Files, fault);
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle());
  ExpectOneReportThenNotice("CErrorDlg", "升级文件下载失败，请检查网络！");
  // The download's own version query emptied the path: no firmware members.
  ExpectFailureReport("3", "0", "升级文件下载失败！", false);
  EXPECT_EQ(VirtualDongle::GetStats().starts, 0u);
  EXPECT_FALSE(std::filesystem::exists(DownloadedPath()));
}
