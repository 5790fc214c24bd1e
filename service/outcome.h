// The outcomes of one press of the upgrade button, each with what its result report carries
// and the notice that follows the report. Every press ends in exactly one of them; the
// workflow, the download and the tests take the texts and codes from here alone.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum class Outcome {
  kNoFirmwareInfo,  // the service named no firmware file (the download reports it)
  kDownloadFailed,  // the transfer failed, or the file was not the one announced
  kConnectFailed,   // the library could not connect to the dongle
  kStartRefused,    // the library refused to start the write
  kUpgradeFailed,   // the write ran to its end and the library reports a failure
  kUpgraded,        // the write ran to its end and the library reports success
};

struct OutcomeRow {
  enum class Progress { kZero, kBarPosition, kHundred };  // what "errorProgress" carries
  enum class Message { kText, kLibraryError, kNone };     // what "errorMsg" carries
  enum class Notice { kError, kSuccess };

  Outcome outcome;
  std::string_view name;       // for traces
  std::string_view code;       // "code": "1" for success, "0" for every failure
  std::string_view errorCode;  // "errorCode"
  Progress progress;
  Message message;
  std::string_view errorMsg;  // UTF-8: the message when `message` is kText
  // The report names the downloaded file ("binPath", "binName", ...): every outcome after a
  // download that succeeded.
  bool namesFirmware;
  Notice notice;
  std::string_view noticeText;  // UTF-8; the success notice's is its template's own text
};

// In the order of Outcome.
inline constexpr OutcomeRow kOutcomeTable[] = {
    {Outcome::kNoFirmwareInfo, "no firmware information", "0", "4", OutcomeRow::Progress::kZero,
     OutcomeRow::Message::kText, "未获取到升级文件的信息！", false, OutcomeRow::Notice::kError,
     "未获取到升级文件，请检查网络！"},
    {Outcome::kDownloadFailed, "download failed", "0", "3", OutcomeRow::Progress::kZero,
     OutcomeRow::Message::kText, "升级文件下载失败！", false, OutcomeRow::Notice::kError,
     "升级文件下载失败，请检查网络！"},
    {Outcome::kConnectFailed, "connect failed", "0", "0", OutcomeRow::Progress::kZero,
     OutcomeRow::Message::kLibraryError, "", true, OutcomeRow::Notice::kError,
     "设备未成功连接，请进行检查！"},
    {Outcome::kStartRefused, "start refused", "0", "1", OutcomeRow::Progress::kZero,
     OutcomeRow::Message::kLibraryError, "", true, OutcomeRow::Notice::kError,
     "设备升级失败，请进行检查！"},
    {Outcome::kUpgradeFailed, "upgrade failed", "0", "2", OutcomeRow::Progress::kBarPosition,
     OutcomeRow::Message::kLibraryError, "", true, OutcomeRow::Notice::kError,
     "设备升级失败，请检查或重试！"},
    {Outcome::kUpgraded, "success", "1", "", OutcomeRow::Progress::kHundred,
     OutcomeRow::Message::kNone, "", true, OutcomeRow::Notice::kSuccess,
     "设备升级成功，欢迎畅享新版本！"},
};

constexpr const OutcomeRow& RowOf(Outcome outcome) {
  return kOutcomeTable[static_cast<std::size_t>(outcome)];
}

// The notice's text, for a window.
QString NoticeText(Outcome outcome);

// Sends the result report of `outcome` (service/operations.h, ReportResult): its codes, and
// as its row says, `barPosition` as the progress and `libraryError` (system code page) as the
// message.
void ReportOutcome(Outcome outcome, std::int32_t barPosition = 0,
                   const std::string& libraryError = {});
