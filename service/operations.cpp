#include "service/operations.h"

#include <sys/utsname.h>

#include <QDir>
#include <QStandardPaths>
#include <climits>
#include <cmath>
#include <nlohmann/json.hpp>

#include "service/addresses.h"
#include "service/http_interface.h"
#include "service/outcome.h"
#include "service/transfer.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/text.h"

using nlohmann::json;

FirmwareDescription FirmwareInfo;
std::int64_t g_upgradeStartTime = 0;

namespace {

// The library's typed integer access, made total: a wider integer keeps its low 32 bits, a
// floating value is truncated toward zero (one beyond every integer, or NaN, gives INT_MIN, as
// the x86 conversion does), a boolean is 0 or 1; any other type is the library's type error.
std::int32_t ReadInt32(const json& value) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(value.get<std::int64_t>()));
    case json::value_t::number_unsigned:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(value.get<std::uint64_t>()));
    case json::value_t::number_float: {
      const double d = std::trunc(value.get<double>());
      if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
        return INT_MIN;
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(d)));
    }
    case json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    default:
      return value.get<std::int32_t>();  // throws "type must be number, but is ..."
  }
}

// The library's strict parse (exceptions, no comments), refusing to nest deeper than the
// limit. The parse itself is iterative, and so is destroying a value.
json ParseAnswer(const std::string& text) {
  const auto guard = [](int depth, json::parse_event_t event, json&) {
    const bool opens =
        event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
    if (opens && depth >= kAnswerDepthLimit)
      throw json::parse_error::create(
          101, 0, "nesting deeper than " + std::to_string(kAnswerDepthLimit) + " levels", nullptr);
    return true;
  };
  return json::parse(text, guard);
}

// A name that stays inside the folder it is put in, and is no hidden file: the folder may be
// the home folder, whose dot files are the user's settings.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name.front() != '.' &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// The user's Documents folder, made when missing (a Linux account may have none).
QString DocumentsFolder() {
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (!folder.isEmpty())
    QDir().mkpath(folder);
  return folder;
}

// A failed download, in one log line: the refusal of a file that is not the announced one
// has written its own.
FirmwareDownload Failed(TransferError error) {
  if (error.kind != TransferError::Kind::kRefused)
    LogLine("download failed: ", error.Text());
  return {FirmwareDownload::Status::kFailed, {}, std::move(error)};
}

}  // namespace

void QueryFirmwareVersion(const ServiceUi& ui) {
  SetConsoleOutputCodePage(kCodePageUtf8);
  FirmwareInfo.fileUrl.clear();
  FirmwareInfo.localPath.clear();
  HandleVersionAnswer(HttpInterface::Instance().PostParams(g_versionGetUrl, {}), ui);
}

void HandleVersionAnswer(const std::string& response, const ServiceUi& ui) {
  LogLine("bin version result=", response);
  try {
    const json document = ParseAnswer(response);
    const json& data = document.at("data");
    FirmwareInfo.fileUrl = data.at("fileUrl").get<std::string>();
    FirmwareInfo.fileSize = ReadInt32(data.at("fileSize"));
    FirmwareInfo.fileName = data.at("fileName").get<std::string>();
    FirmwareInfo.version = ReadInt32(data.at("version"));
    FirmwareInfo.bizId = data.at("bizId").get<std::string>();
    const QString versionText = Utf8ToWide(data.at("versionTxt").get<std::string>());
    if (ui.setVersionText)
      ui.setVersionText(versionText);
  } catch (const json::exception& error) {
    LogLine(error.what());
  }
}

void SyncUpgradeTip(const ServiceUi& ui, QString& tipText, QString& tipLink) {
  SetConsoleOutputCodePage(kCodePageUtf8);
  const HttpParams params{{"sbId", "98"}};
  HandleUpgradeTipAnswer(HttpInterface::Instance().PostParams(g_updateTipUrl, params), ui, tipText,
                         tipLink);
}

void HandleUpgradeTipAnswer(const std::string& response, const ServiceUi& ui, QString& tipText,
                            QString& tipLink) {
  LogLine("sync result=", response);
  try {
    const json document = ParseAnswer(response);
    const json& data = document.at("data");
    LogLine("data=", data);
    const json& url = data.at("url");
    const json& tip = data.at("tip");
    LogLine("tip=", tip, ", url=", url);
    tipText = Utf8ToWide(tip.get<std::string>());
    const std::string link = url.get<std::string>();
    tipLink = Utf8ToWide(link);
    if (link.find("http") == std::string::npos)
      return;
    if (ui.showUpgradeTip)
      ui.showUpgradeTip(tipText, tipLink);
  } catch (const json::exception& error) {
    LogLine(error.what());
  }
}

// The kernel release's first three numbers ("6.1.0-18-amd64" gives 6, 1, 0) and the machine.
OsMembers ReportOsMembers(const utsname& names) {
  unsigned numbers[3] = {0, 0, 0};
  const char* p = names.release;
  for (unsigned& number : numbers) {
    while (*p != '\0' && (*p < '0' || *p > '9'))
      ++p;
    if (*p == '\0')
      break;
    unsigned long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
      value = std::min<unsigned long long>(value * 10 + (*p - '0'), UINT_MAX);
    number = static_cast<unsigned>(value);
  }
  const std::string machine = names.machine;
  return {std::to_string(numbers[0]), std::to_string(numbers[1]),
          std::to_string(numbers[2] & 0xFFFFu),
          machine == "x86_64" || machine == "ia64" ? "x64" : "x86"};
}

void ReportResult(std::string code, std::string errorCode, std::string errorProgress,
                  std::string errorMsg) {
  json report = json::object();
  report["code"] = std::move(code);
  report["errorCode"] = std::move(errorCode);
  report["errorProgress"] = std::move(errorProgress);
  report["errorMsg"] = std::move(errorMsg);
  if (!FirmwareInfo.localPath.empty() && FirmwareInfo.localPath != "ERROR") {
    report["binPath"] = AnsiToUtf8(FirmwareInfo.localPath);
    report["binBizId"] = FirmwareInfo.bizId;
    report["binVersion"] = FirmwareInfo.version;
    report["binName"] = FirmwareInfo.fileName;
    report["binSize"] = FirmwareInfo.fileSize;
  }
  report["timeSpent"] = NowMs() - g_upgradeStartTime;
  if (utsname names{}; uname(&names) == 0) {
    const OsMembers os = ReportOsMembers(names);
    report["osMajor"] = os.major;
    report["osMinor"] = os.minor;
    report["osNumber"] = os.number;
    report["osType"] = os.type;
  }
  // Invalid UTF-8 in a text becomes U+FFFD instead of an exception: the report always goes.
  const std::string body = report.dump(-1, ' ', false, json::error_handler_t::replace);
  const std::string response = HttpInterface::Instance().PostJson(g_resultReportUrl, body);
  LogLine("jsonStr=", response);
}

void ReportFailure(const std::string& errorCode, std::int32_t progress,
                   const std::string& message) {
  ReportResult("0", errorCode, std::to_string(progress), AnsiToUtf8(message));
}

void ReportFailure(const std::string& errorCode, std::int32_t progress, const QString& message) {
  ReportFailure(errorCode, progress, CStringToAnsi(message));
}

FirmwareDownload DownloadCurrentFirmware(const ServiceUi& ui) {
  using Status = FirmwareDownload::Status;
  QueryFirmwareVersion(ui);
  if (FirmwareInfo.fileUrl.empty()) {
    ReportOutcome(Outcome::kNoFirmwareInfo);
    if (ui.showError)
      ui.showError(NoticeText(Outcome::kNoFirmwareInfo));
    return {Status::kNoFirmwareInfo, {}, {}};
  }
  const QString folder = DocumentsFolder();
  const QString name = Utf8ToWide(FirmwareInfo.fileName);
  const QString url = Utf8ToWide(FirmwareInfo.fileUrl);
  if (!IsPlainFileName(FirmwareInfo.fileName))
    return Failed(TransferError::Of(TransferError::Kind::kName, FirmwareInfo.fileName));
  // The file must be the one this answer announced: a plain-http address, or a host that is
  // not the service, could hand over any other signed image.
  FetchedFile fetched =
      FetchFirmware(url, folder, name, {FirmwareInfo.fileSize, FirmwareInfo.version});
  if (!fetched.path)
    return Failed(std::move(fetched.error));
  LogLine("download ok");
  return {Status::kDone, *fetched.path, {}};
}

QString DownloadFirmware(const ServiceUi& ui) {
  const FirmwareDownload download = DownloadCurrentFirmware(ui);
  switch (download.status) {
    case FirmwareDownload::Status::kNoFirmwareInfo:
      return QString();
    case FirmwareDownload::Status::kFailed:
      return QStringLiteral("ERROR");
    case FirmwareDownload::Status::kDone:
      break;
  }
  return download.path;
}
