// Every way the service can fail, at each of its endpoints, against the dialog's start-up and
// one press of its upgrade button: each ends in its row of the outcome table (the report the
// service stores and the notice), within the bounds of the transfer limits, with the dongle
// still on a verified bootable image and no half-written file in Documents.
#include <functional>

#include "service/transfer_limits.h"
#include "tests/faults/fault_test.h"
#include "tests/service/loopback.h"

namespace faults {
namespace {

using nlohmann::json;

class ServiceFaultTest;
using Step = std::function<void(ServiceFaultTest&)>;

struct Case {
  std::string name;
  Step fromStart;      // breaks the service before the dialog opens
  Step beforeUpgrade;  // ... or after the start-up, before the button is pressed
  const Row* row;
  int tipsShown = 1;         // tip dialogs opened at start-up
  bool reportStored = true;  // false where the service cannot receive it at all
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

constexpr auto kTip = RefEndpoint::UpdateTip;
constexpr auto kVersion = RefEndpoint::VersionGet;
constexpr auto kReport = RefEndpoint::ResultReport;
constexpr auto kFiles = RefEndpoint::Files;

class ServiceFaultTest : public FaultTest, public testing::WithParamInterface<Case> {
 public:
  static std::vector<Case> Cases();

 protected:
  static Step At(RefEndpoint endpoint, RefFault fault) {
    return [endpoint, fault](ServiceFaultTest& t) { t.service_->SetFault(endpoint, fault); };
  }
  static Step Answer(RefEndpoint endpoint, std::string body) {
    return [endpoint, body](ServiceFaultTest& t) { t.Body(endpoint, body); };
  }
  static Step VersionWith(std::function<void(json&)> change) {
    return [change](ServiceFaultTest& t) {
      json data = t.VersionData();
      change(data);
      t.Body(kVersion, Envelope(data));
    };
  }
  // The version answer names the file at another place.
  static Step FileAt(std::function<int(ServiceFaultTest&)> port) {
    return [port](ServiceFaultTest& t) {
      json data = t.VersionData();
      data["fileUrl"] =
          "https://localhost:" + std::to_string(port(t)) + "/files/" + Firmware().file;
      t.Body(kVersion, Envelope(data));
    };
  }
  // Making and moving 100 MB can keep a busy machine silent for longer than the short limits
  // of the other cases: these get longer ones, which still bound them.
  static Step Huge(RefEndpoint endpoint) {
    return [endpoint](ServiceFaultTest& t) {
      TransferLimits limits = CurrentTransferLimits();
      limits.idle = std::chrono::seconds(10);
      limits.request = std::chrono::seconds(20);
      SetTransferLimits(limits);
      t.service_->SetFault(endpoint, With(&RefFault::bodySize, 100u * 1024 * 1024));
    };
  }

  std::unique_ptr<RefService> other_;
  std::unique_ptr<SilentHost> silent_;
};

std::vector<Case> ServiceFaultTest::Cases() {
  const RefFault stall = With(&RefFault::stall, true);
  const RefFault drip = With(&RefFault::dripEvery, milliseconds(100));  // never idle, never done
  const RefFault endless = With(&RefFault::endless, true);
  const RefFault bigHeaders = With(&RefFault::extraHeaderBytes, 8192);  // beyond the 4096 taken
  const RefFault empty = With(&RefFault::body, RefFault::Body::Empty);
  const RefFault malformed = With(&RefFault::body, RefFault::Body::Malformed);
  const std::string cutJson = R"({"code":0,"data":{"fileUrl":)";
  auto status = [](int code) { return With(&RefFault::status, code); };
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
      {"Version404", At(kVersion, status(404)), nullptr, &kRowNoInfo},
      {"Version500WithItsAnswer", At(kVersion, status(500)), nullptr, &kRowSuccess},
      {"Version500WithErrorPage",
       [](ServiceFaultTest& t) {
         RefFault f = With(&RefFault::status, 500);
         f.customBody = "<html>Internal Server Error</html>";
         t.service_->SetFault(kVersion, f);
       },
       nullptr, &kRowNoInfo},
      {"VersionEmpty", At(kVersion, empty), nullptr, &kRowNoInfo},
      {"VersionMalformed", At(kVersion, malformed), nullptr, &kRowNoInfo},
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
      {"VersionOversizedHeaders", At(kVersion, bigHeaders), nullptr, &kRowNoInfo},
      {"VersionStall", At(kVersion, stall), nullptr, &kRowNoInfo},
      {"VersionStallInBody", nullptr, At(kVersion, With(&RefFault::stallAfter, 20)), &kRowNoInfo},
      {"VersionDrip", nullptr, At(kVersion, drip), &kRowNoInfo},
      // The answer again and again: cut off at the cap, it is no longer one document.
      {"VersionEndless", At(kVersion, endless), nullptr, &kRowNoInfo},
      // An answer padded to 100 MB is cut off at the cap, behind its whole document.
      {"Version100MB", nullptr, Huge(kVersion), &kRowSuccess},
      // After a good start-up the file name of the first answer stays: the download goes on
      // with it and succeeds.
      {"VersionSizeAsTextAfterGoodStart", nullptr,
       VersionWith([](json& d) { d["fileSize"] = "16448"; }), &kRowSuccess},

      // The tip sync: it only decides the tip dialog; the upgrade is not touched.
      {"Tip500WithItsAnswer", At(kTip, status(500)), nullptr, &kRowSuccess, 1},
      {"TipWithoutTip", Answer(kTip, Envelope({{"url", "https://localhost/notes"}})), nullptr,
       &kRowSuccess, 0},
      {"TipAsNumber", Answer(kTip, Envelope({{"tip", 5}, {"url", "https://h/"}})), nullptr,
       &kRowSuccess, 0},
      {"Tip100MB", Huge(kTip), nullptr, &kRowSuccess, 1},

      // The result report: its answer is only logged. The service stores the report before it
      // answers, so every one of these reaches the store.
      {"Report500", nullptr, At(kReport, status(500)), &kRowSuccess},
      {"ReportWithoutData", nullptr, Answer(kReport, R"({"code":0})"), &kRowSuccess},
      {"ReportWrongTypes", nullptr, Answer(kReport, R"({"code":"zero","data":[]})"), &kRowSuccess},
      {"Report100MB", nullptr, Huge(kReport), &kRowSuccess},

      // The file itself.
      {"File404", nullptr, At(kFiles, status(404)), &kRowDownload},
      {"File500", nullptr, At(kFiles, status(500)), &kRowDownload},
      {"FileStall", nullptr, At(kFiles, stall), &kRowDownload},
      {"FileCutOff", nullptr, At(kFiles, With(&RefFault::stallAfter, kImageSize / 2)),
       &kRowDownload},
      // Too slow after the rate grace, or too large (the cap made 1 MiB).
      {"FileDrip", nullptr, At(kFiles, drip), &kRowDownload},
      {"FileEndless", nullptr,
       [](ServiceFaultTest& t) {
         TransferLimits limits = CurrentTransferLimits();
         limits.downloadCap = 1u << 20;
         SetTransferLimits(limits);
         t.service_->SetFault(kFiles, With(&RefFault::endless, true));
       },
       &kRowDownload},
      {"FileHostDown", nullptr, FileAt([](ServiceFaultTest&) { return ClosedPort(); }),
       &kRowDownload},
      {"FileHostUntrusted", nullptr, FileAt([](ServiceFaultTest& t) {
         RefServiceOptions options = RefServiceOptions::FromPkiDir(PkiDir());
         options.catalogueDir = t.dir_.path() / "catalogue";
         t.other_ = std::make_unique<RefService>(options);
         EXPECT_TRUE(t.other_->Start());
         t.other_->UseRogueCertificate(true);
         return t.other_->Port();
       }),
       &kRowDownload},
      {"FileOversizedHeaders", nullptr, At(kFiles, bigHeaders), &kRowSuccess},
      // A file arrives that is not the one the answer announced, by its size or its version:
      // a failed download, before the library is handed anything.
      {"FileEmpty", nullptr, At(kFiles, empty), &kRowDownload},
      {"FileMalformed", nullptr, At(kFiles, malformed), &kRowDownload},
      {"File100MB", nullptr, Huge(kFiles), &kRowDownload},
      {"FileOfAnotherVersion", nullptr,
       [](ServiceFaultTest& t) {
         t.Body(kFiles, hiddfu::MakeImageBytes(std::string(kImageSize, 'o'), {1, 2, 0, 6}));
       },
       &kRowDownload},
      // The announced file, damaged: the library refuses it before the device is touched.
      {"FileCorrupted", nullptr,
       [](ServiceFaultTest& t) {
         std::string bad = t.image_;
         bad[hiddfu::kImageHeaderSize + 100] ^= 0x40;
         t.Body(kFiles, bad);
       },
       &kRowStart},
  };
  // The same broken answers of the tip sync and of the report.
  const std::pair<const char*, RefFault> answers[] = {
      {"404", status(404)},
      {"Empty", empty},
      {"Malformed", With(&RefFault::customBody, cutJson)},
      {"Stall", stall},
      {"Drip", drip},
      {"Endless", endless},
      {"OversizedHeaders", bigHeaders}};
  for (const auto& [what, fault] : answers) {
    cases.push_back({std::string("Tip") + what, At(kTip, fault), nullptr, &kRowSuccess, 0});
    cases.push_back({std::string("Report") + what, nullptr, At(kReport, fault), &kRowSuccess});
  }
  return cases;
}

TEST_P(ServiceFaultTest, EndsInItsRow) {
  const Case& c = GetParam();
  if (c.fromStart)
    c.fromStart(*this);
  EXPECT_EQ(OpenDialog(), c.tipsShown);
  if (c.beforeUpgrade)
    c.beforeUpgrade(*this);

  const Attempt a = Press();
  ExpectRow(a, *c.row, c.reportStored);
  ExpectDongleRuns(c.row == &kRowSuccess ? kNewVersion : kFactoryVersion);

  // A failed download leaves nothing behind, a good one nothing beside the file.
  const bool downloaded = c.row != &kRowNoInfo && c.row != &kRowDownload;
  std::error_code ec;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Documents(), ec), {}),
            downloaded ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Matrix, ServiceFaultTest, testing::ValuesIn(ServiceFaultTest::Cases()),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace faults
