#include "tests/faults/fault_test.h"

#include <fstream>
#include <iterator>
#include <thread>

#include "hiddfu/hiddfu_tuning.h"
#include "service/config.h"
#include "service/transfer_limits.h"
#include "tests/common/stdout_capture.h"

namespace faults {

using nlohmann::json;

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
  // A failed start-up is only logged: no notice but the tip.
  for (std::size_t i = before; i < notices_.size(); ++i)
    EXPECT_EQ(notices_[i].cls, "CUpgradeDlg");
  return static_cast<int>(notices_.size() - before);
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
