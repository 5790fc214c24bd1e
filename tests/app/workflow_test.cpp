// The upgrade workflow through the real dialog: every outcome as the service stored its
// report and as the notice showed it, the progress captions, the presence probe.
#include <QGuiApplication>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <optional>
#include <thread>
#include <utility>

#include "controls/dialog_units.h"
#include "hiddfu/hiddfu.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "service/operations.h"
#include "support/text.h"
#include "tests/app/app_fixture.h"
#include "tests/common/stdout_capture.h"

class WorkflowTest : public AppTest {};

// ---- Outcomes of the write, and the progress captions -----------------------------------------

// Instant timing: the first poll already reads the end figure, here 150, which ends the upgrade
// like 100. The bar stays at 0 until that poll, then jumps to 100; the caption never reads
// "重启中".
TEST_F(WorkflowTest, SuccessfulUpgradeJumpsToHundredAndReportsCodeOne) {
  VirtualDongle::SetFaults(With(&VirtualDongle::Faults::completionFigure, std::uint8_t{150}));
  Open();
  StdoutCapture capture;
  const Attempt a = Press(std::chrono::milliseconds(5000), false);
  const std::string log = capture.Stop();
  ExpectRow(a, kRowSuccess);
  EXPECT_GE(a.reports.at(0).at("timeSpent").get<std::int64_t>(), 900);  // the one poll period
  EXPECT_EQ(a.notices.at(0).main.barPos, 100);  // given 150, held at the top of the range
  ASSERT_TRUE(SawCaption("升级中"));
  EXPECT_FALSE(SawCaption("重启中"));
  const DialogState upgrading{"升级中", false, true, 0, true, false, "设备已连接"};
  for (const DialogState& s : States()) {
    if (s.caption == "升级中") {
      EXPECT_EQ(s, upgrading) << "bar at " << s.barPos;
    }
  }
  EXPECT_TRUE(HasLine(log, "pos=150"));  // the one poll
  EXPECT_EQ(log.find("pos="), log.rfind("pos=")) << log;
  EXPECT_TRUE(HasLine(log, "major=1, minor=2, release=0, build=7")) << log;
  EXPECT_EQ(VirtualDongle::RunningVersion(), kNewVersion);
  EXPECT_EQ(VirtualDongle::ActiveSlot(), 1);
  // After the notice the library was disconnected: a connect works at once.
  EXPECT_EQ(hidDfuDisconnect(), 0);
}

// The dongle restarts but stays off the bus: the polls read the restart figures ("重启中").
// Plugged in again it finishes; the bar is given 100.
TEST_F(WorkflowTest, RestartShowsTheRestartingCaptionUntilTheDeviceIsBack) {
  ASSERT_EQ(hidDfuSetTimeouts(kReplyMs, 15000), 0);
  VirtualDongle::SetFaults(With(&VirtualDongle::Faults::restartNeverEnds, true));
  Open();
  std::optional<DialogState> restarting;
  QTimer plugger;
  plugger.callOnTimeout([&] {
    if (State().caption == "重启中" && !restarting) {
      restarting = State();
      VirtualDongle::Plug();
    }
  });
  plugger.start(10);
  const Attempt a = Press();
  ExpectRow(a, kRowSuccess);
  ASSERT_TRUE(restarting);
  EXPECT_GE(restarting->barPos, 95);
  EXPECT_LE(restarting->barPos, 99);
  EXPECT_FALSE(restarting->enabled);
  EXPECT_TRUE(restarting->progressTimer);
  EXPECT_EQ(a.notices.at(0).main.barPos, 100);
}

// ---- Presence probe --------------------------------------------------------------------------

TEST_F(WorkflowTest, ConnectionLabelFollowsPlugAndUnplug) {
  StdoutCapture capture;
  Open();
  EXPECT_EQ(State().connection, "设备已连接");  // the template's text until the first probe
  // The first probe, a second later, logs the UTF-8 line.
  ASSERT_TRUE(
      WaitFor([&] { return capture.Peek().find("设备已连接\n") != std::string::npos; }, 2500));
  VirtualDongle::Unplug();
  EXPECT_TRUE(WaitFor([&] { return State().connection == "设备未连接"; }, 2500));
  VirtualDongle::Plug();
  EXPECT_TRUE(WaitFor([&] { return State().connection == "设备已连接"; }, 2500));
  EXPECT_TRUE(Reports().empty());
}

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

// ---- The downloaded file ------------------------------------------------------------------------

// A file of the user's holds the firmware's name: it is kept, and the library is handed, and
// the report names, the file written beside it.
TEST_F(WorkflowTest, AUsersFileOfTheFirmwaresNameIsKeptAndTheImageGoesBesideIt) {
  std::filesystem::create_directories(Documents());
  std::ofstream(Documents() / Firmware().file) << "my notes";
  Open();
  ExpectRow(Press(), kRowSuccess, true, Firmware().file, "marlo-1.2.0.7 (1).bin");
  std::ifstream kept(Documents() / Firmware().file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "my notes");
  EXPECT_EQ(FirmwareInfo.localPath, (Documents() / "marlo-1.2.0.7 (1).bin").string());
}

// The answer announces another version than the file holds: a failed download, and nothing
// reaches the dongle.
TEST_F(WorkflowTest, AnImageOtherThanTheAnnouncedOneIsAFailedDownload) {
  CatalogueEntry entry = Firmware();
  entry.version = 1020008;
  Publish(entry);
  Open();
  StdoutCapture capture;
  ExpectRow(Press(std::chrono::milliseconds(8000), false), kRowDownload);
  EXPECT_TRUE(HasLine(capture.Stop(), "download refused: version=1020008, the image is 1.2.0.7"));
  EXPECT_EQ(VirtualDongle::GetStats().starts, 0u);
  EXPECT_EQ(VirtualDongle::RunningVersion(), VirtualDongle::kFactoryVersion);
}

// ---- Under code page 936 -----------------------------------------------------------------------

// The file name is Chinese: the report names the file in UTF-8, and the library is handed a
// path that opens the downloaded file.
TEST_F(WorkflowTest, GbkChineseFileNameUpgrades) {
  ASSERT_EQ(SystemCodePage(), "GBK");
  CatalogueEntry entry = Firmware();
  entry.file = "固件 1.2.0.7.bin";
  Publish(entry);
  Open();
  ExpectRow(Press(), kRowSuccess, true, entry.file);
  // The record keeps the path in the system code page.
  EXPECT_EQ(AnsiToUtf8(FirmwareInfo.localPath), (Documents() / entry.file).string());
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
  image[hiddfu::kImageHeaderSize] ^= 1;  // the announced image, damaged
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", entry, image));
  Open();
  ClickUpgrade();
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(Reports().size(), 1u);
  EXPECT_EQ(Member(Reports()[0], "errorCode"), "1");
  EXPECT_EQ(Member(Reports()[0], "errorMsg"),
            "image corrupt: the payload does not match the SHA-256 in its header: " +
                (home_ / "文档" / entry.file).string());
}

// The download fails: code 3 with its message in UTF-8.
TEST_F(WorkflowTest, GbkDownloadFailureReportsCodeThreeInUtf8) {
  ASSERT_EQ(SystemCodePage(), "GBK");
  Open();
  service_->SetFault(RefEndpoint::Files, With(&RefFault::status, 500));
  ExpectRow(Press(), kRowDownload);
}
