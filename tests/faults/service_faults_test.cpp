// Every way the service can fail, at each of its endpoints, against the start-up and one
// press of the upgrade button: each ends in its row of the outcome table (the report the
// service stores and the notice), within the bounds of the transfer limits, with the dongle
// still on a verified bootable image and no half-written file in Documents.
#include <functional>

#include "tests/faults/fault_bench.h"
#include "tests/service/loopback.h"

namespace faults {
namespace {

using nlohmann::json;

// Making and moving 100 MB can keep a busy machine silent for longer than the short limits
// of the other cases: these get longer ones, which still bound them.
void LongerLimits() {
  TransferLimits limits = BenchLimits();
  limits.idle = std::chrono::seconds(10);
  limits.request = std::chrono::seconds(20);
  SetTransferLimits(limits);
}

class ServiceFaultTest;
using Step = std::function<void(ServiceFaultTest&)>;

struct Case {
  const char* name;
  Step fromStart;      // breaks the service before the dialog starts
  Step beforeUpgrade;  // ... or after the start-up, before the button is pressed
  const Row* row;
  int tipsShown = 1;         // tip dialogs opened at start-up
  bool reportStored = true;  // false where the service cannot receive it at all
};

class ServiceFaultTest : public FaultBench, public ::testing::WithParamInterface<Case> {
 public:
  void Version(const json& data) { Body(RefEndpoint::VersionGet, Envelope(data)); }
  // The version answer names the file at another place.
  void FileAt(const std::string& base) {
    json data = VersionData();
    data["fileUrl"] = base + "/files/" + kFirmwareFile;
    Version(data);
  }
  std::unique_ptr<RefService> other_;
  std::unique_ptr<SilentHost> silent_;
};

Step At(RefEndpoint endpoint, RefFault fault) {
  return [endpoint, fault](ServiceFaultTest& t) { t.Fault(endpoint, fault); };
}
Step Huge(RefEndpoint endpoint) {
  return [endpoint](ServiceFaultTest& t) {
    LongerLimits();
    t.Fault(endpoint, HugeBody());
  };
}
// A file without end fails at the cap, here made 1 MiB.
Step EndlessFile() {
  return [](ServiceFaultTest& t) {
    TransferLimits limits = BenchLimits();
    limits.downloadCap = 1u << 20;
    SetTransferLimits(limits);
    t.Fault(RefEndpoint::Files, Endless());
  };
}
Step Answer(RefEndpoint endpoint, std::string body) {
  return [endpoint, body](ServiceFaultTest& t) { t.Body(endpoint, body); };
}
Step VersionWith(std::function<void(json&)> change) {
  return [change](ServiceFaultTest& t) {
    json data = t.VersionData();
    change(data);
    t.Version(data);
  };
}

constexpr auto kTip = RefEndpoint::UpdateTip;
constexpr auto kVersion = RefEndpoint::VersionGet;
constexpr auto kReport = RefEndpoint::ResultReport;
constexpr auto kFiles = RefEndpoint::Files;

const std::string kMalformed = R"({"code":0,"data":{"fileUrl":)";

std::vector<Case> Cases() {
  std::vector<Case> cases = {
      // The whole service.
      {"ServiceDown", [](ServiceFaultTest& t) { t.service_->Stop(); }, nullptr, &kRowNoInfo, 0,
       false},
      {"UntrustedCertificate", [](ServiceFaultTest& t) { t.service_->UseRogueCertificate(true); },
       nullptr, &kRowNoInfo, 0, false},
      {"HostSaysNothing",
       [](ServiceFaultTest& t) {
         t.silent_ = std::make_unique<SilentHost>();
         t.PointAt(t.silent_->Port());
       },
       nullptr, &kRowNoInfo, 0, false},

      // The version query, broken from the start: the start-up query fails the same way.
      {"Version404", At(kVersion, Status(404)), nullptr, &kRowNoInfo},
      {"Version500WithItsAnswer", At(kVersion, Status(500)), nullptr, &kRowSuccess},
      {"Version500WithErrorPage",
       [](ServiceFaultTest& t) {
         RefFault f = Status(500);
         f.customBody = "<html>Internal Server Error</html>";
         t.Fault(kVersion, f);
       },
       nullptr, &kRowNoInfo},
      {"VersionEmpty", At(kVersion, WithBody(RefFault::Body::Empty)), nullptr, &kRowNoInfo},
      {"VersionMalformed", At(kVersion, WithBody(RefFault::Body::Malformed)), nullptr, &kRowNoInfo},
      {"VersionWithoutData", Answer(kVersion, R"({"code":0,"msg":"ok"})"), nullptr, &kRowNoInfo},
      {"VersionWithoutFileUrl", VersionWith([](json& d) { d.erase("fileUrl"); }), nullptr,
       &kRowNoInfo},
      {"VersionWithEmptyFileUrl", VersionWith([](json& d) { d["fileUrl"] = ""; }), nullptr,
       &kRowNoInfo},
      // Stored up to "fileSize": the address is known but no file name ever was.
      {"VersionSizeAsText", VersionWith([](json& d) { d["fileSize"] = "16448"; }), nullptr,
       &kRowDownload},
      {"VersionFileUrlAsNumber", VersionWith([](json& d) { d["fileUrl"] = 7; }), nullptr,
       &kRowNoInfo},
      {"VersionDataAsArray", Answer(kVersion, R"({"data":[1,2]})"), nullptr, &kRowNoInfo},
      // Everything up to the label is stored: the upgrade goes on.
      {"VersionWithoutVersionText", VersionWith([](json& d) { d.erase("versionTxt"); }), nullptr,
       &kRowSuccess},
      {"VersionOversizedHeaders", At(kVersion, OversizedHeaders()), nullptr, &kRowNoInfo},
      {"VersionStall", At(kVersion, Stall()), nullptr, &kRowNoInfo},
      {"VersionStallInBody", At(kVersion, StallAfter(20)), nullptr, &kRowNoInfo},
      {"VersionDrip", At(kVersion, Drip()), nullptr, &kRowNoInfo},
      // The answer again and again: cut off at the cap, it is no longer one document.
      {"VersionEndless", At(kVersion, Endless()), nullptr, &kRowNoInfo},
      // An answer padded to 100 MB is cut off at the cap, behind its whole document.
      {"Version100MB", nullptr, Huge(kVersion), &kRowSuccess},
      // After a good start-up the file name of the first answer stays: the download goes on
      // with it and succeeds.
      {"VersionSizeAsTextAfterGoodStart", nullptr,
       VersionWith([](json& d) { d["fileSize"] = "16448"; }), &kRowSuccess},

      // The tip sync: it only decides the tip dialog; the upgrade is not touched.
      {"Tip404", At(kTip, Status(404)), nullptr, &kRowSuccess, 0},
      {"Tip500WithItsAnswer", At(kTip, Status(500)), nullptr, &kRowSuccess, 1},
      {"TipEmpty", At(kTip, WithBody(RefFault::Body::Empty)), nullptr, &kRowSuccess, 0},
      {"TipMalformed", Answer(kTip, kMalformed), nullptr, &kRowSuccess, 0},
      {"TipWithoutTip", Answer(kTip, FaultBench::Envelope({{"url", "https://localhost/notes"}})),
       nullptr, &kRowSuccess, 0},
      {"TipAsNumber", Answer(kTip, FaultBench::Envelope({{"tip", 5}, {"url", "https://h/"}})),
       nullptr, &kRowSuccess, 0},
      {"TipOversizedHeaders", At(kTip, OversizedHeaders()), nullptr, &kRowSuccess, 0},
      {"TipStall", At(kTip, Stall()), nullptr, &kRowSuccess, 0},
      {"TipDrip", At(kTip, Drip()), nullptr, &kRowSuccess, 0},
      {"TipEndless", At(kTip, Endless()), nullptr, &kRowSuccess, 0},
      {"Tip100MB", Huge(kTip), nullptr, &kRowSuccess, 1},

      // The result report: its answer is only logged. The service stores the report before it
      // answers, so every one of these reaches the store.
      {"Report404", nullptr, At(kReport, Status(404)), &kRowSuccess},
      {"Report500", nullptr, At(kReport, Status(500)), &kRowSuccess},
      {"ReportEmpty", nullptr, At(kReport, WithBody(RefFault::Body::Empty)), &kRowSuccess},
      {"ReportMalformed", nullptr, Answer(kReport, kMalformed), &kRowSuccess},
      {"ReportWithoutData", nullptr, Answer(kReport, R"({"code":0})"), &kRowSuccess},
      {"ReportWrongTypes", nullptr, Answer(kReport, R"({"code":"zero","data":[]})"), &kRowSuccess},
      {"ReportOversizedHeaders", nullptr, At(kReport, OversizedHeaders()), &kRowSuccess},
      {"ReportStall", nullptr, At(kReport, Stall()), &kRowSuccess},
      {"ReportDrip", nullptr, At(kReport, Drip()), &kRowSuccess},
      {"ReportEndless", nullptr, At(kReport, Endless()), &kRowSuccess},
      {"Report100MB", nullptr, Huge(kReport), &kRowSuccess},

      // The file itself.
      {"File404", nullptr, At(kFiles, Status(404)), &kRowDownload},
      {"File500", nullptr, At(kFiles, Status(500)), &kRowDownload},
      {"FileStall", nullptr, At(kFiles, Stall()), &kRowDownload},
      {"FileCutOff", nullptr, At(kFiles, StallAfter(kImageSize / 2)), &kRowDownload},
      // Too slow after the rate grace, or too large.
      {"FileDrip", nullptr, At(kFiles, Drip()), &kRowDownload},
      {"FileEndless", nullptr, EndlessFile(), &kRowDownload},
      {"FileHostDown", nullptr,
       [](ServiceFaultTest& t) { t.FileAt("https://localhost:" + std::to_string(ClosedPort())); },
       &kRowDownload},
      {"FileHostUntrusted", nullptr,
       [](ServiceFaultTest& t) {
         RefServiceOptions options = t.Options();
         options.storeFile.clear();  // it never gets a report
         t.other_ = std::make_unique<RefService>(options);
         ASSERT_TRUE(t.other_->Start());
         t.other_->UseRogueCertificate(true);
         t.FileAt("https://localhost:" + std::to_string(t.other_->Port()));
       },
       &kRowDownload},
      {"FileOversizedHeaders", nullptr, At(kFiles, OversizedHeaders()), &kRowSuccess},
      // A file arrives but is no image the library takes: it checks before the device is
      // touched.
      {"FileEmpty", nullptr, At(kFiles, WithBody(RefFault::Body::Empty)), &kRowStart},
      {"FileMalformed", nullptr, At(kFiles, WithBody(RefFault::Body::Malformed)), &kRowStart},
      {"FileCorrupted", nullptr,
       [](ServiceFaultTest& t) {
         std::string bad = t.image_;
         bad[hiddfu::kImageHeaderSize + 100] ^= 0x40;
         t.Body(kFiles, bad);
       },
       &kRowStart},
      {"File100MB", nullptr, Huge(kFiles), &kRowStart},
  };
  return cases;
}

TEST_P(ServiceFaultTest, EndsInItsRow) {
  const Case& c = GetParam();
  if (c.fromStart)
    c.fromStart(*this);
  QString tipText;
  QString tipLink;
  const auto begin = Clock::now();
  StartUp(ui_, tipText, tipLink);
  EXPECT_LE(Clock::now() - begin, AttemptBound()) << "the start-up waited beyond the limits";
  EXPECT_EQ(ui_.tipsShown, c.tipsShown);
  if (c.beforeUpgrade)
    c.beforeUpgrade(*this);

  const std::size_t before = StoredReports().size();
  const Attempt a = RunUpgrade(ui_);
  ExpectRow(a, *c.row, before, c.reportStored);
  ExpectDongleRuns(c.row == &kRowSuccess ? kNewVersion : VirtualDongle::kFactoryVersion);

  std::vector<std::string> left;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(Documents(), ec))
    left.push_back(e.path().filename().string());
  if (c.row == &kRowNoInfo || c.row == &kRowDownload) {
    EXPECT_TRUE(left.empty()) << "a failed download left " << left.front();
  } else {
    EXPECT_EQ(left, std::vector<std::string>{kFirmwareFile});
  }
}

INSTANTIATE_TEST_SUITE_P(Matrix, ServiceFaultTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace faults
