#include "tests/faults/fault_bench.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace faults {

using nlohmann::json;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void FaultBench::SetUp() {
  home_ = dir_.path() / "home";
  catalogue_ = dir_.path() / "catalogue";
  fs::create_directories(home_);
  setenv("HOME", home_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
  unsetenv("XDG_DOCUMENTS_DIR");

  const fs::path made = dir_.path() / "image.bin";
  std::string error;
  ASSERT_TRUE(hiddfu::WriteFilledImage(made.string(), kNewVersion, kImageSize, 3, &error)) << error;
  image_ = Slurp(made);
  CatalogueEntry entry;
  entry.file = kFirmwareFile;
  entry.version = 10207;
  entry.bizId = "biz-10207";
  entry.versionTxt = "V1.2.0.7";
  entry.tip = "新固件 1.2.0.7";
  entry.tipUrl = "https://localhost/notes";
  ASSERT_TRUE(WriteCatalogue(catalogue_, entry, image_));
  StartService();
  SetTransferLimits(BenchLimits());

  FirmwareInfo = {};
  g_upgradeStartTime = 0;
  VirtualDongle::Reset();
  VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
  VirtualDongle::SetTrialWatchdog(kTrialWatchdog);
  ASSERT_EQ(hidDfuSetTimeouts(kReplyMs, kRebootMs), 0);
}

void FaultBench::TearDown() {
  DfuDisconnect();
  if (service_)
    service_->Stop();
  SetTransferLimits({});
}

RefServiceOptions FaultBench::Options() const {
  RefServiceOptions options = RefServiceOptions::FromPkiDir(ZAV_TEST_PKI_DIR);
  options.catalogueDir = catalogue_;
  options.storeFile = dir_.path() / "reports.sqlite";
  return options;
}

void FaultBench::StartService() {
  service_ = std::make_unique<RefService>(Options());
  std::string error;
  ASSERT_TRUE(service_->Start(&error)) << error;
  PointAt(service_->Port());
}

void FaultBench::PointAt(int port) {
  ConfigureService({"localhost", (fs::path(ZAV_TEST_PKI_DIR) / "ca.pem").string(),
                    static_cast<std::uint16_t>(port)});
}

json FaultBench::VersionData() const {
  return {{"fileUrl",
           "https://localhost:" + std::to_string(service_->Port()) + "/files/" + kFirmwareFile},
          {"fileSize", kImageSize + hiddfu::kImageHeaderSize},
          {"fileName", kFirmwareFile},
          {"version", 10207},
          {"bizId", "biz-10207"},
          {"versionTxt", "V1.2.0.7"}};
}

std::string FaultBench::Envelope(const json& data) {
  return json{{"code", 0}, {"msg", "ok"}, {"data", data}}.dump();
}

std::vector<json> FaultBench::StoredReports() const {
  std::vector<json> reports;
  for (const StoredReport& r : RefService::ReadStore(Options().storeFile))
    reports.push_back(json::parse(r.body, nullptr, false));
  return reports;
}

void FaultBench::ExpectRow(const Attempt& a, const Row& row, std::size_t reportsBefore,
                           bool reportReachesService) {
  SCOPED_TRACE(std::string("expected outcome: ") + row.name);
  EXPECT_FALSE(a.pollGaveUp) << "the upgrade never finished";
  ASSERT_EQ(a.notices.size(), 1u) << "one notice per press";
  EXPECT_EQ(a.notices[0], row.notice);
  EXPECT_LE(a.elapsed, AttemptBound());

  const std::vector<json> reports = StoredReports();
  if (!reportReachesService) {
    EXPECT_EQ(reports.size(), reportsBefore);
    return;
  }
  ASSERT_EQ(reports.size(), reportsBefore + 1) << "one report per press";
  const json& r = reports.back();
  ASSERT_TRUE(r.is_object());
  EXPECT_EQ(r.value("code", "?"), row.code);
  EXPECT_EQ(r.value("errorCode", "?"), row.errorCode);
  const std::string message = r.value("errorMsg", "?");
  if (!row.errorMsg.empty() || row.code == "1") {
    EXPECT_EQ(message, row.errorMsg);
  } else {
    EXPECT_FALSE(message.empty()) << "the library's text is the message";
    if (!a.libraryError.empty()) {
      EXPECT_EQ(message, AnsiToUtf8(a.libraryError));
    }
  }
  if (row.code == "1") {
    EXPECT_EQ(r.value("errorProgress", "?"), "100");
  } else if (row.errorCode == "2") {
    EXPECT_EQ(r.value("errorProgress", "?"), std::to_string(a.lastPosition));
    EXPECT_LT(a.lastPosition, 100);
  } else {
    EXPECT_EQ(r.value("errorProgress", "?"), "0");
  }
  // The firmware members go with every report that follows a download.
  const bool downloaded = row.errorCode != "3" && row.errorCode != "4";
  EXPECT_EQ(r.contains("binPath"), downloaded);
  if (downloaded) {
    EXPECT_EQ(r.value("binName", "?"), kFirmwareFile);
    EXPECT_EQ(r.value("binPath", "?"), (home_ / "Documents" / kFirmwareFile).string());
  }
}

void FaultBench::Settle() {
  for (int round = 0; round < 2; ++round) {
    const auto until = Clock::now() + 5 * kTrialWatchdog;
    while (!VirtualDongle::Settled() && Clock::now() < until)
      std::this_thread::sleep_for(milliseconds(2));
    if (!VirtualDongle::IsPlugged())
      VirtualDongle::Plug();
  }
}

void FaultBench::ExpectDongleRuns(const hiddfu::FirmwareVersion& version) {
  Settle();
  const VirtualDongle::Slot running = VirtualDongle::GetSlot(VirtualDongle::ActiveSlot());
  EXPECT_TRUE(running.holdsImage && running.verified && running.bootable)
      << "the dongle runs an image that is not verified and bootable";
  EXPECT_FALSE(VirtualDongle::OnTrial()) << "the dongle came to rest on an image on trial";
  EXPECT_EQ(VirtualDongle::RunningVersion().ToString(), version.ToString());
}

}  // namespace faults
