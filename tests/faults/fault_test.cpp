#include "tests/faults/fault_test.h"

#include <QApplication>
#include <fstream>
#include <iterator>
#include <thread>

#include "hiddfu/hiddfu_tuning.h"
#include "service/config.h"
#include "service/transfer_limits.h"
#include "tests/common/stdout_capture.h"

namespace faults {

using nlohmann::json;

const Row kRowNoInfo{"no firmware information",  "0",         "4",
                     "未获取到升级文件的信息！", "CErrorDlg", "未获取到升级文件，请检查网络！"};
const Row kRowDownload{"download failed",    "0",         "3",
                       "升级文件下载失败！", "CErrorDlg", "升级文件下载失败，请检查网络！"};
const Row kRowConnect{"connect failed", "0", "0", "", "CErrorDlg", "设备未成功连接，请进行检查！"};
const Row kRowStart{"start refused", "0", "1", "", "CErrorDlg", "设备升级失败，请进行检查！"};
const Row kRowUpgrade{"upgrade failed", "0", "2", "", "CErrorDlg", "设备升级失败，请检查或重试！"};
const Row kRowSuccess{"success", "1", "", "", "CSuccessDlg", "设备升级成功，欢迎畅享新版本！"};

std::string Attempt::Message() const {
  return reports.size() == 1 ? Member(reports[0], "errorMsg") : "";
}

bool Attempt::Succeeded() const {
  return notices.size() == 1 && notices[0].cls == "CSuccessDlg";
}

void FaultTest::SetUp() {
  AppTest::SetUp();
  if (HasFatalFailure())
    return;
  CZavDlg::SetTimerPeriod(kTimerPeriod);
  TransferLimits limits;
  limits.connect = milliseconds(1000);
  limits.idle = milliseconds(1000);
  limits.request = milliseconds(2000);
  limits.rateGrace = milliseconds(2000);
  SetTransferLimits(limits);
  VirtualDongle::SetTrialWatchdog(kTrialWatchdog);
  ASSERT_EQ(hidDfuSetTimeouts(kReplyMs, kRebootMs), 0);

  CatalogueEntry entry = Firmware();
  entry.tipUrl = "https://localhost/notes";  // a tip dialog at start-up
  Publish(entry, kImageSize);
  std::ifstream in(dir_.path() / "catalogue" / entry.file, std::ios::binary);
  image_.assign(std::istreambuf_iterator<char>(in), {});
}

void FaultTest::TearDown() {
  AppTest::TearDown();
  CZavDlg::SetTimerPeriod(milliseconds(CZavDlg::kTimerPeriodMs));
}

int FaultTest::OpenDialog() {
  const std::size_t before = notices_.size();
  const auto begin = Clock::now();
  {
    QuietStdout quiet;
    Open();
  }
  EXPECT_LE(Clock::now() - begin, AttemptBound()) << "the start-up waited beyond the limits";
  int tips = 0;
  for (std::size_t i = before; i < notices_.size(); ++i)
    tips += notices_[i].cls == "CUpgradeDlg" ? 1 : 0;
  return tips;
}

Attempt FaultTest::Press() {
  Attempt a;
  const std::size_t noticesBefore = notices_.size();
  a.reportsBefore = Reports().size();
  const auto begin = Clock::now();
  {
    QuietStdout quiet;
    ClickUpgrade();
    a.backToIdle = WaitIdle(static_cast<int>(AttemptBound().count()));
  }
  a.elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - begin);
  a.notices.assign(notices_.begin() + static_cast<std::ptrdiff_t>(noticesBefore), notices_.end());
  const std::vector<json> reports = Reports();
  if (reports.size() > a.reportsBefore)
    a.reports.assign(reports.begin() + static_cast<std::ptrdiff_t>(a.reportsBefore), reports.end());
  return a;
}

void FaultTest::ExpectRow(const Attempt& a, const Row& row, bool reportStored) {
  SCOPED_TRACE(std::string("expected outcome: ") + row.name);
  EXPECT_TRUE(a.backToIdle) << "the dialog did not come back to idle";
  EXPECT_LE(a.elapsed, AttemptBound());
  ASSERT_EQ(a.notices.size(), 1u) << "one notice per press";
  const SeenNotice& notice = a.notices[0];
  EXPECT_EQ(notice.cls, row.notice);
  EXPECT_EQ(notice.text, row.text);
  if (!reportStored) {
    EXPECT_TRUE(a.reports.empty());
    return;
  }
  ASSERT_EQ(a.reports.size(), 1u) << "one report per press";
  EXPECT_EQ(notice.reportsAtOpen, a.reportsBefore + 1) << "the notice opened before the report";
  const json& r = a.reports[0];
  EXPECT_EQ(Member(r, "code"), row.code);
  EXPECT_EQ(Member(r, "errorCode"), row.errorCode);
  if (!row.errorMsg.empty() || row.code == "1") {
    EXPECT_EQ(Member(r, "errorMsg"), row.errorMsg);
  } else {
    EXPECT_FALSE(a.Message().empty()) << "the library's text is the message";
  }
  std::string progress = "0";
  if (row.code == "1") {
    progress = "100";
  } else if (row.errorCode == "2") {
    progress = std::to_string(notice.main.barPos);  // the bar's last position below 100
    EXPECT_LT(notice.main.barPos, 100);
  }
  EXPECT_EQ(Member(r, "errorProgress"), progress);
  // The firmware members go with every report that follows a download.
  const bool downloaded = row.errorCode != "3" && row.errorCode != "4";
  EXPECT_EQ(r.contains("binPath"), downloaded);
  if (downloaded) {
    EXPECT_EQ(Member(r, "binName"), Firmware().file);
    EXPECT_EQ(Member(r, "binPath"), (Documents() / Firmware().file).string());
  }
}

void FaultTest::Settle() {
  for (int round = 0; round < 2; ++round) {
    const auto until = Clock::now() + 5 * kTrialWatchdog;
    while (!VirtualDongle::Settled() && Clock::now() < until)
      std::this_thread::sleep_for(milliseconds(2));
    if (!VirtualDongle::IsPlugged())
      VirtualDongle::Plug();
  }
}

void FaultTest::Heal() {
  service_->ClearFaults();
  VirtualDongle::SetFaults({});
  VirtualDongle::SetRestartDelay(milliseconds(0));
  VirtualDongle::SetTrustedKey(hiddfu::DemoSigningKey().Public());
  VirtualDongle::SetHardware(VirtualDongle::kProduct, VirtualDongle::kHardwareRevision);
  VirtualDongle::SetSecurityCounter(0);
  Settle();
}

void FaultTest::ExpectDongleRuns(const hiddfu::FirmwareVersion& version) {
  Settle();
  const VirtualDongle::Slot running = VirtualDongle::GetSlot(VirtualDongle::ActiveSlot());
  EXPECT_TRUE(running.holdsImage && running.verified && running.bootable)
      << "the dongle runs an image that is not verified and bootable";
  EXPECT_FALSE(VirtualDongle::OnTrial()) << "the dongle came to rest on an image on trial";
  EXPECT_EQ(VirtualDongle::RunningVersion().ToString(), version.ToString());
}

milliseconds FaultTest::AttemptBound() {
  const TransferLimits limits = CurrentTransferLimits();
  return 2 * limits.request + limits.connect + limits.rateGrace + limits.idle +
         milliseconds(kRebootMs) + milliseconds(8000);
}

json FaultTest::VersionData() const {
  return {{"fileUrl", Url("/files/" + Firmware().file)},
          {"fileSize", image_.size()},
          {"fileName", Firmware().file},
          {"version", Firmware().version},
          {"bizId", Firmware().bizId},
          {"versionTxt", Firmware().versionTxt}};
}

std::string Envelope(const json& data) {
  return json{{"code", 0}, {"msg", "ok"}, {"data", data}}.dump();
}

void FaultTest::Body(RefEndpoint endpoint, const std::string& body) {
  service_->SetFault(endpoint, With(&RefFault::customBody, body));
}

void FaultTest::PointAt(int port) {
  ConfigureService({"localhost", (PkiDir() / "ca.pem").string(), static_cast<std::uint16_t>(port)});
}

}  // namespace faults
