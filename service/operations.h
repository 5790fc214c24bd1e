// The service operations of the upgrade tool: the firmware version query, the upgrade-tip
// sync, the result report and the firmware download, with the process-wide firmware record
// and upgrade start time they share. The main dialog's members of the same names are thin:
// they hand these functions what they must touch of the window through ServiceUi, so that
// nothing here depends on widgets or on the dialog.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "service/transfer_error.h"

struct utsname;

struct FirmwareDescription {
  std::string fileUrl;        // UTF-8; empty: no firmware known
  std::int32_t fileSize = 0;  // as the service gave it
  std::string fileName;       // UTF-8
  std::int32_t version = 0;
  std::string bizId;      // UTF-8
  std::string localPath;  // system code page: the downloaded file, set by the upgrade button
};

// The one firmware record of the process.
extern FirmwareDescription FirmwareInfo;

// Milliseconds since 1970 UTC at the start of the latest upgrade attempt; 0 before the first.
extern std::int64_t g_upgradeStartTime;

// What the operations need of the main dialog. Each callback may be empty (then nothing is
// shown). The modal ones return when the user has closed the dialog.
struct ServiceUi {
  std::function<void(const QString& text)> setVersionText;  // the version label
  std::function<void(const QString& tip, const QString& url)>
      showUpgradeTip;                                     // the tip dialog, modal
  std::function<void(const QString& message)> showError;  // the error notice, modal
};

// Asks the service for the current firmware, stores the answer member by member in
// FirmwareInfo and shows "versionTxt" through ui.setVersionText. Every failure ends in a log
// line; nothing is shown or reported.
void QueryFirmwareVersion(const ServiceUi& ui);

// Asks the service for the upgrade tip and stores its text and address in the dialog's own
// `tipText` and `tipLink` (as far as the answer allowed); shows the tip dialog with them when
// the address holds "http".
void SyncUpgradeTip(const ServiceUi& ui, QString& tipText, QString& tipLink);

// What the two queries above do with the service's answer, from logging it on: the request
// is theirs, everything after it is here. Tests and the fuzzers hand these any text.
// An answer that nests arrays and objects deeper than kAnswerDepthLimit counts as malformed
// (the parse error is logged, nothing is stored): copying and writing a value recurse, so
// depth must be bounded. The service's answers are three levels deep.
inline constexpr int kAnswerDepthLimit = 256;
void HandleVersionAnswer(const std::string& response, const ServiceUi& ui);
void HandleUpgradeTipAnswer(const std::string& response, const ServiceUi& ui, QString& tipText,
                            QString& tipLink);

// Sends one result report: four UTF-8 texts plus the firmware record, the time since the
// upgrade start and the operating system. Logs "jsonStr=" with the answer.
void ReportResult(std::string code, std::string errorCode, std::string errorProgress,
                  std::string errorMsg);

// The report's operating-system members for what uname says: "osMajor", "osMinor" and
// "osNumber" from the kernel release's first three numbers, the third cut to its low 16 bits;
// "osType" "x64" for the machines x86_64 and ia64, "x86" for any other.
struct OsMembers {
  std::string major, minor, number, type;
  bool operator==(const OsMembers&) const = default;
};
OsMembers ReportOsMembers(const utsname& names);

// The failure report ("code" "0"): `message` in the system code page, or as UTF-16.
void ReportFailure(const std::string& errorCode, std::int32_t progress, const std::string& message);
void ReportFailure(const std::string& errorCode, std::int32_t progress, const QString& message);
// A bare literal would be ambiguous between the two forms, and its bytes are UTF-8, not the
// system code page: say which one is meant.
void ReportFailure(const std::string& errorCode, std::int32_t progress,
                   const char* message) = delete;

// What a firmware download ended in.
struct FirmwareDownload {
  enum class Status {
    kNoFirmwareInfo,  // the service named no file: reported with its outcome and shown
    kFailed,          // the transfer failed or the file was refused: nothing reported or shown
    kDone,
  };
  Status status = Status::kFailed;
  QString path;         // kDone: the file's full path
  TransferError error;  // kFailed: why (logged as it happened)
};

// Queries the service afresh and downloads the firmware into the Documents folder. When the
// service names no file, reports Outcome::kNoFirmwareInfo and shows its notice through
// ui.showError.
FirmwareDownload DownloadCurrentFirmware(const ServiceUi& ui);

// The same, its result as one text: the file's full path; "ERROR" when the transfer failed; or
// the empty text when the service named no file.
QString DownloadFirmware(const ServiceUi& ui);
