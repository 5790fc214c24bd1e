// The bench on which the fault tests break things: the reference service on an ephemeral
// loopback port with a real firmware image in its catalogue and its report store in a
// temporary folder, the virtual dongle in instant mode behind the real update library, a
// private HOME (the download goes into its Documents folder), and short limits on every
// wait: service transfers, device replies and the restart.
//
// RunUpgrade makes the calls of the main dialog's upgrade button and progress poll, in the
// dialog's order, with the notices recorded instead of shown: download (which repeats the
// version query), path into the firmware record, start time, connect, start, poll to 100,
// result, report, notice, disconnect. The dialog's own tests cover the wiring of the same
// calls to its widgets and timers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QString>

#include "device/device.h"
#include "dongle/dongle.h"
#include "hiddfu/hiddfu.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "refservice/refservice.h"
#include "service/config.h"
#include "service/operations.h"
#include "service/transfer_limits.h"
#include "support/clock.h"
#include "support/text.h"
#include "tests/common/stdout_capture.h"
#include "tests/common/temp_dir.h"

namespace faults {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline constexpr hiddfu::FirmwareVersion kNewVersion{1, 2, 0, 7};
inline constexpr std::uint32_t kImageSize = 16 * 1024;
inline const std::string kFirmwareFile = "marlo-1.2.0.7.bin";

// The bounds of every wait, as the tests set them.
inline constexpr milliseconds kConnectLimit{1000};
inline constexpr milliseconds kIdleLimit{1000};
inline constexpr milliseconds kRequestLimit{2000};
inline constexpr milliseconds kRateGrace{2000};
inline TransferLimits BenchLimits() {
  TransferLimits limits;
  limits.connect = kConnectLimit;
  limits.idle = kIdleLimit;
  limits.request = kRequestLimit;
  limits.rateGrace = kRateGrace;
  return limits;
}
inline constexpr int kReplyMs = 40;
inline constexpr int kRebootMs = 1500;
// An unconfirmed image is given up this long after it started: within the library's wait.
inline constexpr milliseconds kTrialWatchdog{600};

// The service faults, one member each.
inline RefFault Status(int status) {
  RefFault f;
  f.status = status;
  return f;
}
inline RefFault WithBody(RefFault::Body body) {
  RefFault f;
  f.body = body;
  return f;
}
inline RefFault OversizedHeaders() {
  RefFault f;
  f.extraHeaderBytes = 8192;  // beyond the client's 4096-byte header buffer
  return f;
}
inline RefFault HugeBody() {
  RefFault f;
  f.bodySize = 100u * 1024 * 1024;  // the answer, padded with spaces to 100 MB
  return f;
}
inline RefFault Stall() {
  RefFault f;
  f.stall = true;
  return f;
}
inline RefFault StallAfter(std::size_t bytes) {
  RefFault f;
  f.stallAfter = bytes;
  return f;
}
inline RefFault Drip() {
  RefFault f;
  f.dripEvery = milliseconds(100);  // never idle, never done
  return f;
}
inline RefFault Endless() {
  RefFault f;
  f.endless = true;
  return f;
}

// The notices of the outcome table.
inline const QString kNoFirmwareInfo = QStringLiteral("未获取到升级文件，请检查网络！");
inline const QString kDownloadFailed = QStringLiteral("升级文件下载失败，请检查网络！");
inline const QString kNotConnected = QStringLiteral("设备未成功连接，请进行检查！");
inline const QString kStartRefused = QStringLiteral("设备升级失败，请进行检查！");
inline const QString kUpgradeFailed = QStringLiteral("设备升级失败，请检查或重试！");
inline const QString kSuccessNotice = QStringLiteral("设备升级成功，欢迎畅享新版本！");

// One row of the outcome table: what the report carries and which notice follows it.
struct Row {
  const char* name;
  std::string code;
  std::string errorCode;
  std::string errorMsg;  // exact for the tool's own texts; empty for the library's text
  QString notice;
};

inline const Row kRowNoInfo{"no firmware information", "0", "4", "未获取到升级文件的信息！",
                            kNoFirmwareInfo};
inline const Row kRowDownload{"download failed", "0", "3", "升级文件下载失败！", kDownloadFailed};
inline const Row kRowConnect{"connect failed", "0", "0", "", kNotConnected};
inline const Row kRowStart{"start refused", "0", "1", "", kStartRefused};
inline const Row kRowUpgrade{"upgrade failed", "0", "2", "", kUpgradeFailed};
inline const Row kRowSuccess{"success", "1", "", "", kSuccessNotice};

// What one press of the upgrade button ended in.
struct Attempt {
  std::vector<QString> notices;  // in the order shown
  bool started = false;          // the library accepted the upgrade
  int lastPosition = 0;          // the progress bar's last position below 100
  int finalProgress = 0;         // what the poll read last
  milliseconds elapsed{0};
  bool pollGaveUp = false;   // the library never reached 100
  std::string libraryError;  // the text that went into the report, if known
};

// The UI that the service operations get: what they would show is recorded.
struct RecordingUi {
  QString versionLabel;
  int tipsShown = 0;
  std::vector<QString>* notices = nullptr;
  ServiceUi Ui() {
    return {[this](const QString& text) { versionLabel = text; },
            [this](const QString&, const QString&) { ++tipsShown; },
            [this](const QString& message) {
              if (notices)
                notices->push_back(message);
            }};
  }
};

// The dialog's start-up: the version query, then the tip sync.
inline void StartUp(RecordingUi& ui, QString& tipText, QString& tipLink) {
  QuietStdout quiet;
  QueryFirmwareVersion(ui.Ui());
  SyncUpgradeTip(ui.Ui(), tipText, tipLink);
}

// The upgrade button and the progress poll. `pollEvery` stands for the dialog's one-second
// timer; the poll gives up (fails the test) after `pollLimit`, which only a library that
// never finishes would reach.
inline Attempt RunUpgrade(RecordingUi& ui, milliseconds pollEvery = milliseconds(2),
                          milliseconds pollLimit = milliseconds(20000)) {
  Attempt a;
  QuietStdout quiet;
  ui.notices = &a.notices;
  const auto begin = Clock::now();
  auto finish = [&] {
    a.elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - begin);
    ui.notices = nullptr;
    return a;
  };

  const QString path = DownloadFirmware(ui.Ui());
  if (path.isEmpty())
    return finish();
  if (path == QStringLiteral("ERROR")) {
    ReportFailure("3", 0, QStringLiteral("升级文件下载失败！"));
    a.notices.push_back(kDownloadFailed);
    return finish();
  }
  FirmwareInfo.localPath = CStringToAnsi(path);
  const std::string binPath = FirmwareInfo.localPath;
  g_upgradeStartTime = NowMs();
  if (DfuConnect() != 0) {
    a.libraryError = DfuLastError();
    ReportFailure("0", 0, a.libraryError);
    a.notices.push_back(kNotConnected);
    return finish();
  }
  if (DfuUpgrade(binPath) != 0) {
    a.libraryError = DfuLastError();
    ReportFailure("1", 0, a.libraryError);
    a.notices.push_back(kStartRefused);
    return finish();
  }
  a.started = true;
  const auto deadline = Clock::now() + pollLimit;
  while (true) {
    std::this_thread::sleep_for(pollEvery);
    const int p = hidDfuGetProgress();
    a.finalProgress = p;
    if (p < 100)
      a.lastPosition = p;
    if (p >= 100)
      break;
    if (Clock::now() > deadline) {
      a.pollGaveUp = true;
      break;
    }
  }
  if (DfuCheckResult() == 0) {
    DfuReadVersions();
    ReportResult("1", "", "100", "");
    a.notices.push_back(kSuccessNotice);
  } else {
    a.libraryError = DfuLastError();
    ReportFailure("2", a.lastPosition, a.libraryError);
    a.notices.push_back(kUpgradeFailed);
  }
  DfuDisconnect();
  return finish();
}

// Reads a whole file.
std::string Slurp(const fs::path& path);

// The fixture: a fresh service, dongle, HOME and firmware record per test. Its helpers are
// public so that the tables of cases can use them.
class FaultBench : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;

  RefServiceOptions Options() const;
  void StartService();
  void PointAt(int port);

  // The version answer's "data" as the service sends it, to build broken variants from.
  nlohmann::json VersionData() const;
  // An answer made of `data` in the service's envelope.
  static std::string Envelope(const nlohmann::json& data);

  void Fault(RefEndpoint endpoint, RefFault fault) { service_->SetFault(endpoint, fault); }
  void Body(RefEndpoint endpoint, const std::string& body) {
    RefFault f;
    f.customBody = body;
    Fault(endpoint, f);
  }

  fs::path Documents() const { return home_ / "Documents"; }

  // The stored reports, parsed.
  std::vector<nlohmann::json> StoredReports() const;

  // Checks that the attempt ended in `row`: exactly one new stored report with its texts
  // (when the service can store it) and exactly its notice.
  void ExpectRow(const Attempt& a, const Row& row, std::size_t reportsBefore,
                 bool reportReachesService = true);

  // Once it has come to rest (plugged back in if it was out, an image on trial given up),
  // the dongle runs a verified, bootable, confirmed image, and it is `version`.
  void ExpectDongleRuns(const hiddfu::FirmwareVersion& version);
  // Waits until the dongle has come to rest, and plugs it back in if it is out.
  static void Settle();

  // The longest an attempt may take with the limits in force: the query and the report
  // within the request limit each, the download past its rate grace and one idle limit
  // after that, the device its reply periods and the restart, with room for a slow machine.
  static milliseconds AttemptBound() {
    const TransferLimits limits = CurrentTransferLimits();
    return 2 * limits.request + limits.connect + limits.rateGrace + limits.idle +
           milliseconds(kRebootMs) + milliseconds(8000);
  }

  TempDir dir_;
  fs::path home_;
  fs::path catalogue_;
  std::string image_;  // the catalogue's firmware image, as bytes
  std::unique_ptr<RefService> service_;
  RecordingUi ui_;
};

}  // namespace faults
