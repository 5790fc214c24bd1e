// The version query, the upgrade-tip sync, the result report and the firmware download
// against the reference service on loopback, with the UI seen through ServiceUi.
#include "service/operations.h"
#include "service/outcome.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <QFile>
#include <QStandardPaths>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/clock.h"
#include "support/text.h"
#include "tests/common/stdout_capture.h"
#include "tests/service/connect_proxy.h"
#include "tests/service/service_fixture.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string Envelope(const json& data) {
  return json{{"code", 0}, {"msg", "ok"}, {"data", data}}.dump();
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The UI as the dialog would hand it over, remembering what it was asked to show.
struct FakeDialog {
  QString versionLabel = "old label";
  std::vector<std::pair<QString, QString>> tips;
  std::vector<QString> errors;
  ServiceUi Ui() {
    return {[this](const QString& text) { versionLabel = text; },
            [this](const QString& tip, const QString& url) { tips.emplace_back(tip, url); },
            [this](const QString& message) { errors.push_back(message); }};
  }
};

}  // namespace

class OperationsTest : public ServiceTest {
 protected:
  // FirmwareInfo as an earlier query left it.
  static void Earlier() {
    FirmwareInfo = {"https://old/url", 11, "old.bin", 22, "old-biz", "/old/path"};
  }

  void Answer(RefEndpoint endpoint, const std::string& body) {
    RefFault fault;
    fault.customBody = body;
    service_->SetFault(endpoint, fault);
  }

  json VersionData() const {
    return {{"fileUrl", Url("/files/marlo-1.0.3.bin")},
            {"fileSize", 14},
            {"fileName", "marlo-1.0.3.bin"},
            {"version", 103},
            {"bizId", "biz-103"},
            {"versionTxt", "V1.0.3"}};
  }

  FakeDialog dialog_;
};

// ---- Version query ---------------------------------------------------------------------

TEST_F(OperationsTest, QueryStoresTheAnswerAndSetsTheLabel) {
  Earlier();
  CatalogueEntry entry = DefaultEntry();
  entry.versionTxt = "版本 1.0.3 正式版";
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", entry, std::nullopt));
  StdoutCapture capture;
  QueryFirmwareVersion(dialog_.Ui());
  const std::string log = capture.Stop();
  // The members themselves are held by the failure table below, up to the last one.
  EXPECT_EQ(FirmwareInfo.localPath, "");
  EXPECT_EQ(dialog_.versionLabel, QStringLiteral("版本 1.0.3 正式版"));
  const auto& request = service_->LastRequest();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->target, "/game/api/talent_tool/bin/version/get");
  const auto lines = SplitLines(log);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("bin version result={", 0), 0u) << log;
}

// A failing answer is logged, then the library's message. The members before the failing one
// are stored, in the order of the answer's data (the query clears the address first); the label
// keeps its text.
TEST_F(OperationsTest, QueryFailuresStoreTheMembersBeforeTheFailingOne) {
  const auto with = [this](const char* name, const json& value) {
    json data = VersionData();
    data[name] = value;
    return Envelope(data);
  };
  const auto without = [this](const char* name) {
    json data = VersionData();
    data.erase(name);
    return Envelope(data);
  };
  const std::string notFound = "[json.exception.out_of_range.403] key '";
  const std::string notNumber = "[json.exception.type_error.302] type must be number, but is ";
  const struct {
    std::string body;
    std::string message;
    int stored;
  } cases[] = {
      {"",
       "[json.exception.parse_error.101] parse error at line 1, column 1: syntax error while "
       "parsing value - unexpected end of input; expected '[', '{', or a literal",
       0},
      {R"({"data":{"fileUrl":)", "[json.exception.parse_error.101]", 0},
      {"/* c */ " + Envelope(VersionData()), "[json.exception.parse_error.101]", 0},
      {R"({"code":0,"msg":"ok"})", notFound + "data' not found", 0},
      {"[1,2]", "[json.exception.type_error.304] cannot use at() with array", 0},
      {R"({"data":"x"})", "[json.exception.type_error.304] cannot use at() with string", 0},
      {with("fileUrl", 5), "[json.exception.type_error.302] type must be string, but is number", 0},
      {without("fileUrl"), notFound + "fileUrl' not found", 0},
      {without("fileSize"), notFound + "fileSize' not found", 1},
      {without("fileName"), notFound + "fileName' not found", 2},
      {without("version"), notFound + "version' not found", 3},
      {without("bizId"), notFound + "bizId' not found", 4},
      {without("versionTxt"), notFound + "versionTxt' not found", 5},
      {with("fileSize", "14"), notNumber + "string", 1},
      {with("fileSize", nullptr), notNumber + "null", 1},
      {with("fileSize", json::array()), notNumber + "array", 1},
      {with("fileSize", json::object()), notNumber + "object", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    Earlier();
    dialog_.versionLabel = "old label";
    Answer(RefEndpoint::VersionGet, c.body);
    StdoutCapture capture;
    QueryFirmwareVersion(dialog_.Ui());
    const auto lines = SplitLines(capture.Stop());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "bin version result=" + c.body);
    EXPECT_EQ(lines.back().rfind(c.message, 0), 0u) << lines.back();
    EXPECT_EQ(FirmwareInfo.fileUrl, c.stored > 0 ? Url("/files/marlo-1.0.3.bin") : "");
    EXPECT_EQ(FirmwareInfo.fileSize, c.stored > 1 ? 14 : 11);
    EXPECT_EQ(FirmwareInfo.fileName, c.stored > 2 ? "marlo-1.0.3.bin" : "old.bin");
    EXPECT_EQ(FirmwareInfo.version, c.stored > 3 ? 103 : 22);
    EXPECT_EQ(FirmwareInfo.bizId, c.stored > 4 ? "biz-103" : "old-biz");
    EXPECT_EQ(FirmwareInfo.localPath, "");
    EXPECT_EQ(dialog_.versionLabel, "old label");
  }
}

TEST_F(OperationsTest, QueryReadsNumbersTheLibrarysWay) {
  struct Case {
    json value;
    std::int32_t expected;
  };
  const std::vector<Case> cases = {{3.9, 3},
                                   {-3.9, -3},
                                   {true, 1},
                                   {false, 0},
                                   {4294967297LL, 1},
                                   {-1, -1},
                                   {2147483648ULL, INT32_MIN},
                                   {18446744073709551615ULL, -1},
                                   {1e30, INT32_MIN}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    json data = VersionData();
    data["version"] = c.value;
    Answer(RefEndpoint::VersionGet, Envelope(data));
    QueryFirmwareVersion(dialog_.Ui());
    EXPECT_EQ(FirmwareInfo.version, c.expected);
    EXPECT_EQ(FirmwareInfo.bizId, "biz-103");
  }
}

TEST_F(OperationsTest, AnswersNestedBeyondTheLimitAreMalformedHoweverDeep) {
  const auto nested = [](std::size_t levels) {
    return std::string(levels, '[') + std::string(levels, ']');
  };
  const std::string tooDeep =
      "[json.exception.parse_error.101] parse error: nesting deeper "
      "than " +
      std::to_string(kAnswerDepthLimit) + " levels";
  // The top level and "data" are two of the levels.
  for (const std::size_t levels : {std::size_t(kAnswerDepthLimit - 2),
                                   std::size_t(kAnswerDepthLimit - 1), std::size_t(1'000'000)}) {
    SCOPED_TRACE(levels);
    Earlier();
    const bool within = levels + 2 <= kAnswerDepthLimit;
    const std::string data = VersionData().dump();
    Answer(RefEndpoint::VersionGet,
           R"({"data":)" + data.substr(0, data.size() - 1) + R"(,"deep":)" + nested(levels) + "}}");
    StdoutCapture version;
    QueryFirmwareVersion(dialog_.Ui());
    EXPECT_EQ(SplitLines(version.Stop()).back() == tooDeep, !within);
    EXPECT_EQ(FirmwareInfo.version, within ? 103 : 22);

    Answer(RefEndpoint::UpdateTip, R"({"data":{"url":)" + nested(levels) + R"(,"tip":"t"}})");
    QString tip = "old tip";
    QString link;
    StdoutCapture sync;
    SyncUpgradeTip(dialog_.Ui(), tip, link);
    const auto lines = SplitLines(sync.Stop());
    EXPECT_EQ(lines.back(), within ? "[json.exception.type_error.302] type must be string, but "
                                     "is array"
                                   : tooDeep);
    EXPECT_EQ(tip, within ? "t" : "old tip");
  }
}

// ---- Upgrade tip ---------------------------------------------------------------------------

TEST_F(OperationsTest, TipWithAnAddressOpensTheTipDialog) {
  CatalogueEntry entry = DefaultEntry();
  entry.tip = "发现新版本：\"降噪\"改进";
  entry.tipUrl = "https://localhost/下载";
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", entry, std::nullopt));
  QString tip;
  QString link;
  StdoutCapture capture;
  SyncUpgradeTip(dialog_.Ui(), tip, link);
  const std::string log = capture.Stop();
  EXPECT_EQ(tip, QStringLiteral("发现新版本：\"降噪\"改进"));
  EXPECT_EQ(link, QStringLiteral("https://localhost/下载"));
  EXPECT_EQ(dialog_.tips, (std::vector<std::pair<QString, QString>>{{tip, link}}));
  EXPECT_EQ(service_->LastRequest()->target, "/game/api/talent_tool/update_tip?sbId=98");

  const std::string data = R"({"tip":"发现新版本：\"降噪\"改进","url":"https://localhost/下载"})";
  EXPECT_TRUE(HasLine(log, R"(sync result={"code":0,"data":)" + data + R"(,"msg":"ok"})")) << log;
  EXPECT_TRUE(HasLine(log, "data=" + data)) << log;
  EXPECT_TRUE(HasLine(log, R"(tip="发现新版本：\"降噪\"改进", url="https://localhost/下载")"))
      << log;
}

TEST_F(OperationsTest, TipDialogOpensOnlyWhenTheAddressHoldsHttp) {
  const std::vector<std::pair<std::string, bool>> cases = {{"", false},
                                                           {"HTTP://LOCALHOST/", false},
                                                           {"ftp://x", false},
                                                           {"see http later", true},
                                                           {"https://x", true}};
  for (const auto& [url, shown] : cases) {
    SCOPED_TRACE(url);
    dialog_.tips.clear();
    // An error status of the service changes nothing: only "data" is read.
    Answer(RefEndpoint::UpdateTip,
           json{{"code", 500}, {"msg", "err"}, {"data", {{"tip", "t"}, {"url", url}}}}.dump());
    QString tip;
    QString link = "x";
    SyncUpgradeTip(dialog_.Ui(), tip, link);
    EXPECT_EQ(tip, "t");
    EXPECT_EQ(link, QString::fromStdString(url));
    EXPECT_EQ(dialog_.tips.size(), shown ? 1u : 0u);
  }
}

TEST_F(OperationsTest, TipFailuresStoreWhatTheStepsReached) {
  struct Case {
    std::string body;
    std::string message;
    QString tip;
  };
  const std::vector<Case> cases = {
      {"", "[json.exception.parse_error.101]", "old tip"},
      {R"({"code":0})", "[json.exception.out_of_range.403] key 'data' not found", "old tip"},
      {Envelope(json::object()), "[json.exception.out_of_range.403] key 'url' not found",
       "old tip"},
      {Envelope({{"url", "https://x"}}), "[json.exception.out_of_range.403] key 'tip' not found",
       "old tip"},
      {Envelope({{"url", "https://x"}, {"tip", 5}}),
       "[json.exception.type_error.302] type must be string, but is number", "old tip"},
      {Envelope({{"url", 7}, {"tip", "t"}}),
       "[json.exception.type_error.302] type must be string, but is number", "t"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    Answer(RefEndpoint::UpdateTip, c.body);
    QString tip = "old tip";
    QString link = "old link";
    StdoutCapture capture;
    SyncUpgradeTip(dialog_.Ui(), tip, link);
    const std::string log = capture.Stop();
    const auto lines = SplitLines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(HasLine(log, "sync result=" + c.body)) << log;
    EXPECT_EQ(lines.back().rfind(c.message, 0), 0u) << lines.back();
    EXPECT_EQ(tip, c.tip);
    EXPECT_EQ(link, "old link");
    EXPECT_TRUE(dialog_.tips.empty());
  }
}

// ---- Result report -------------------------------------------------------------------------

TEST_F(OperationsTest, SuccessReportCarriesEveryMemberInNameOrder) {
  FirmwareInfo = {"https://x/f", 4096, "固件.bin", 103, "biz-103", "/home/u/Documents/fw.bin"};
  g_upgradeStartTime = NowMs() - 5000;
  StdoutCapture capture;
  ReportResult("1", "", "100", "");
  const std::string log = capture.Stop();
  const auto reports = service_->Reports();
  ASSERT_EQ(reports.size(), 1u);
  const std::string& body = reports[0].body;
  const json report = json::parse(body);
  EXPECT_EQ(body, report.dump());  // compact, members in byte order of their names
  std::vector<std::string> names;
  for (const auto& [name, value] : report.items())
    names.push_back(name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"binBizId", "binName", "binPath", "binSize", "binVersion",
                                      "code", "errorCode", "errorMsg", "errorProgress", "osMajor",
                                      "osMinor", "osNumber", "osType", "timeSpent"}));
  EXPECT_EQ(report["binSize"], 4096);
  EXPECT_EQ(report["binVersion"], 103);
  EXPECT_EQ(report["binBizId"], "biz-103");
  EXPECT_GE(report["timeSpent"].get<std::int64_t>(), 5000);
  EXPECT_LT(report["timeSpent"].get<std::int64_t>(), 60000);
  utsname system{};
  ASSERT_EQ(uname(&system), 0);
  EXPECT_EQ((OsMembers{report["osMajor"], report["osMinor"], report["osNumber"], report["osType"]}),
            ReportOsMembers(system));
  EXPECT_NE(body.find(R"("binName":"固件.bin")"),
            std::string::npos);  // UTF-8 as is, not \u-escaped

  const auto lines = SplitLines(log);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back().rfind(R"(jsonStr={"code":0,"data":{"id":)", 0), 0u) << log;
  EXPECT_EQ(lines.front().rfind("time=", 0), 0u) << log;
}

TEST(ReportOsMembers, FollowTheVersionRules) {
  const struct {
    const char* release;
    const char* machine;
    OsMembers os;
  } cases[] = {
      {"6.1.0-18-amd64", "x86_64", {"6", "1", "0", "x64"}},
      {"10.0.88167", "ia64", {"10", "0", "22631", "x64"}},  // the build's low 16 bits
      {"5.15.131072-generic", "aarch64", {"5", "15", "0", "x86"}},
      {"6.6.65535", "i686", {"6", "6", "65535", "x86"}},
      {"4.19", "armv7l", {"4", "19", "0", "x86"}},
      {"99999999999.x", "x86_64", {"4294967295", "0", "0", "x64"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.release) + " " + c.machine);
    utsname names{};
    std::strncpy(names.release, c.release, sizeof names.release - 1);
    std::strncpy(names.machine, c.machine, sizeof names.machine - 1);
    EXPECT_EQ(ReportOsMembers(names), c.os);
  }
}

// Before any upgrade attempt the time spent is the time since 1970.
TEST_F(OperationsTest, ReportWithoutAFirmwarePathHasNoFirmwareMembers) {
  Answer(RefEndpoint::ResultReport, "");  // an empty answer is logged as such
  for (const std::string path : {"", "ERROR"}) {
    SCOPED_TRACE(path);
    FirmwareInfo = {"https://x/f", 1, "fw.bin", 2, "biz", path};
    StdoutCapture capture;
    ReportFailure("3", 0, QStringLiteral("升级文件下载失败！"));
    EXPECT_EQ(SplitLines(capture.Stop()).back(), "jsonStr=");
    ASSERT_FALSE(service_->Reports().empty());
    const json report = json::parse(service_->Reports().back().body);
    for (const char* member : {"binBizId", "binName", "binPath", "binSize", "binVersion"})
      EXPECT_FALSE(report.contains(member)) << member;
    EXPECT_EQ(report["errorMsg"], "升级文件下载失败！");
    EXPECT_GT(report["timeSpent"].get<std::int64_t>(), 1'600'000'000'000LL);
  }
  EXPECT_EQ(service_->Reports().size(), 2u);
}

// ---- The outcome table -----------------------------------------------------------------------

// Each outcome's report as the service stores it, and its notice: the codes and texts the
// tool is held to, written out here once more so that a changed row shows.
TEST_F(OperationsTest, EachOutcomeReportsItsRowAndNamesItsNotice) {
  const std::string library = "device stopped responding at 37 %";
  const struct {
    Outcome outcome;
    const char* code;
    const char* errorCode;
    const char* errorProgress;
    std::string errorMsg;
    const char* notice;
  } rows[] = {
      {Outcome::kNoFirmwareInfo, "0", "4", "0", "未获取到升级文件的信息！",
       "未获取到升级文件，请检查网络！"},
      {Outcome::kDownloadFailed, "0", "3", "0", "升级文件下载失败！",
       "升级文件下载失败，请检查网络！"},
      {Outcome::kConnectFailed, "0", "0", "0", library, "设备未成功连接，请进行检查！"},
      {Outcome::kStartRefused, "0", "1", "0", library, "设备升级失败，请进行检查！"},
      {Outcome::kUpgradeFailed, "0", "2", "37", library, "设备升级失败，请检查或重试！"},
      {Outcome::kUpgraded, "1", "", "100", "", "设备升级成功，欢迎畅享新版本！"},
  };
  ASSERT_EQ(std::size(rows), std::size(kOutcomeTable));
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(RowOf(row.outcome).name));
    EXPECT_EQ(RowOf(row.outcome).outcome, row.outcome);
    QuietStdout quiet;
    ReportOutcome(row.outcome, 37, library);
    const json report = json::parse(service_->Reports().back().body);
    EXPECT_EQ(report["code"], row.code);
    EXPECT_EQ(report["errorCode"], row.errorCode);
    EXPECT_EQ(report["errorProgress"], row.errorProgress);
    EXPECT_EQ(report["errorMsg"], row.errorMsg);
    EXPECT_EQ(NoticeText(row.outcome), QString::fromUtf8(row.notice));
  }
  EXPECT_EQ(service_->Reports().size(), std::size(rows));
}

// ---- Download ------------------------------------------------------------------------------

TEST_F(OperationsTest, FailedTransferIsErrorAndLeavesTheOldFileAlone) {
  fs::create_directories(Documents());
  std::ofstream(Documents() / "marlo-1.0.3.bin") << "good old image";
  // Silent halfway through the file: given up once the silence limit has passed, nothing
  // half-written at the path.
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", DefaultEntry(), std::string(200'000, 'n')));
  RefFault fault;
  fault.stallAfter = 100'000;
  service_->SetFault(RefEndpoint::Files, fault);
  StdoutCapture capture;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(DownloadFirmware(dialog_.Ui()), "ERROR");
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, ShortLimits().idle);
  EXPECT_LE(took, ShortLimits().idle + std::chrono::seconds(3));
  EXPECT_EQ(CountLines(capture.Stop(), "download ok"), 0u);

  EXPECT_EQ(Slurp(Documents() / "marlo-1.0.3.bin"), "good old image");
  EXPECT_EQ(std::distance(fs::directory_iterator(Documents()), {}), 1);
  EXPECT_TRUE(service_->Reports().empty());  // the caller reports code 3
  EXPECT_TRUE(dialog_.errors.empty());
}

// The file lands in Documents under the service's name, with the umask's mode, and takes the
// place of the leftovers of killed runs but not of a running one.
TEST_F(OperationsTest, DownloadWritesTheFileIntoDocuments) {
  CatalogueEntry entry = DefaultEntry();
  entry.file = "Marlo 固件 v2.bin";
  const std::string image = Image(std::string(300'000, 'q'));
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", entry, image));
  fs::create_directories(Documents());
  const fs::path stale = Documents() / ".zav-download-killed";
  const fs::path running = Documents() / ".zav-download-running";
  std::ofstream(stale) << "half an image";
  std::ofstream(running) << "being written";
  QFile held(QString::fromStdString(running.string()));
  ASSERT_TRUE(held.open(QIODevice::ReadOnly));
  ASSERT_EQ(flock(held.handle(), LOCK_EX), 0);  // as a running download holds its file
  const mode_t saved = umask(027);
  StdoutCapture capture;
  const QString path = DownloadFirmware(dialog_.Ui());
  const std::string log = capture.Stop();
  umask(saved);
  const fs::path file = Documents() / "Marlo 固件 v2.bin";
  EXPECT_EQ(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString(),
            Documents().string());
  ASSERT_EQ(path.toStdString(), file.string());
  EXPECT_EQ(Slurp(file), image);
  EXPECT_EQ(CountLines(log, "download ok"), 1u);
  EXPECT_EQ(fs::status(file).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(running));
  EXPECT_EQ(std::distance(fs::directory_iterator(Documents()), {}), 2);  // the file, the running
  EXPECT_TRUE(service_->Reports().empty());
  EXPECT_TRUE(dialog_.errors.empty());
}

TEST_F(OperationsTest, DownloadGoesThroughTheProxyToo) {
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", DefaultEntry(), Image("firmware image")));
  ConnectProxy proxy;
  {
    const BehindProxy user(proxy.Address());
    DownloadFirmware(dialog_.Ui());
  }
  EXPECT_EQ(Slurp(Documents() / "marlo-1.0.3.bin"), Image("firmware image"));
  EXPECT_EQ(proxy.Targets().size(), 2u);  // the version query and the file
}

// Names that lead out of the folder, and hidden ones: Documents may be the home folder, whose
// dot files are the user's settings.
TEST_F(OperationsTest, NamesThatLeaveTheFolderOrHideAreRefused) {
  using namespace std::string_literals;
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", DefaultEntry(), Image("firmware image")));
  for (const std::string& name : {"../evil.bin"s, "sub/evil.bin"s, ".."s, "."s, "a\\b.bin"s,
                                  "evil\0.bin"s, ""s, ".bashrc"s, ".marlo.bin"s}) {
    SCOPED_TRACE(name);
    json data = VersionData();
    data["fileName"] = name;
    Answer(RefEndpoint::VersionGet, Envelope(data));
    service_->ClearRequests();
    StdoutCapture capture;
    EXPECT_EQ(DownloadFirmware(dialog_.Ui()), "ERROR");
    EXPECT_EQ(CountLines(capture.Stop(), "download ok"), 0u);
    for (const auto& request : service_->Requests())
      EXPECT_NE(request.method, "GET");
  }
  EXPECT_FALSE(fs::exists(home_ / "evil.bin"));
  EXPECT_FALSE(fs::exists(Documents() / "evil"));
  EXPECT_TRUE(fs::is_empty(Documents()));
}
