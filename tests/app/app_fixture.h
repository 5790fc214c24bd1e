// The main dialog against real parts: the reference service on an ephemeral loopback port
// with a catalogue of its own, the virtual dongle behind the real update library, the real
// notices on the offscreen platform, a private HOME for the Documents folder.
//
// A watcher runs every 10 ms in whatever event loop is running (the notices' own included):
// it samples the main dialog's state, notes every notice that opens (what it says, how many
// reports the service had stored by then, what the main dialog showed) and closes it with its
// OK button after `holdMs_`.
#pragma once

#include <gtest/gtest.h>

#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/zav_dlg.h"
#include "dongle/dongle.h"
#include "service/outcome.h"
#include "tests/common/with.h"
#include "tests/service/service_fixture.h"

// What the main dialog shows of the workflow.
struct DialogState {
  QString caption;
  bool enabled = false;
  bool barVisible = false;
  int barPos = 0;
  bool progressTimer = false;
  bool probeTimer = false;
  QString connection;
  bool operator==(const DialogState&) const = default;
};

struct SeenNotice {
  std::string cls;  // CErrorDlg, CSuccessDlg, CUpgradeDlg, CAboutDlg
  QString text;     // the message it shows
  std::size_t reportsAtOpen = 0;
  bool mainWindowShown = false;  // the main dialog was on screen already
  QRect frame;                   // where the notice opened, frame included
  bool busyCursor = false;       // an override cursor was set when it opened
  QString versionLabel;          // the main dialog's version label at that moment
  DialogState main;
};

inline constexpr VirtualDongle::FirmwareVersion kNewVersion{1, 2, 0, 7};

// The rows of the outcome table, as the tool defines them (service/outcome.h).
using Row = OutcomeRow;
inline constexpr const Row& kRowNoInfo = RowOf(Outcome::kNoFirmwareInfo);
inline constexpr const Row& kRowDownload = RowOf(Outcome::kDownloadFailed);
inline constexpr const Row& kRowConnect = RowOf(Outcome::kConnectFailed);
inline constexpr const Row& kRowStart = RowOf(Outcome::kStartRefused);
inline constexpr const Row& kRowUpgrade = RowOf(Outcome::kUpgradeFailed);
inline constexpr const Row& kRowSuccess = RowOf(Outcome::kUpgraded);

// The class of the notice a row shows.
const char* NoticeClass(const Row& row);

// What one press of the upgrade button ended in.
struct Attempt {
  std::vector<SeenNotice> notices;      // opened during the press
  std::vector<nlohmann::json> reports;  // stored during the press
  std::vector<DialogState> states;      // the main dialog's, as the watcher saw them
  std::size_t reportsBefore = 0;
  std::chrono::milliseconds elapsed{0};
  std::chrono::milliseconds bound{0};
  bool backToIdle = false;  // the dialog came back to idle within the bound
  // The report's "errorMsg", or "" when there is not exactly one report.
  std::string Message() const;
  bool Succeeded() const;
};

class AppTest : public ServiceTest {
 protected:
  static constexpr int kReplyMs = 250;
  static constexpr int kRebootMs = 3000;

  void SetUp() override;
  void TearDown() override;

  static CatalogueEntry Firmware();
  // Puts an image of `payloadSize` bytes into the catalogue under `entry`.
  void Publish(const CatalogueEntry& entry, std::size_t payloadSize = 4096);

  // Constructs the main dialog and shows it (start-up runs inside the show).
  CZavDlg& Open();
  void ClickUpgrade();
  // Clicks the upgrade button and waits until the dialog is idle again after its notice, all
  // within `bound`; the tool's output goes nowhere unless `quiet` is false.
  Attempt Press(std::chrono::milliseconds bound = std::chrono::milliseconds(8000),
                bool quiet = true);
  // The attempt ended in `row` within its bound: one notice with its text over the dialog in
  // the state the row leaves it in, after one report with its members (the downloaded `file`),
  // stored before the notice opened (none where the service cannot receive it), the file
  // written under `written` when that is not empty.
  void ExpectRow(const Attempt& a, const Row& row, bool reportStored = true,
                 const std::string& file = Firmware().file, const std::string& written = {});

  // Processes events until pred holds or timeoutMs has passed.
  static bool WaitFor(const std::function<bool()>& pred, int timeoutMs);
  // Idle again after an upgrade attempt: caption "升级", enabled, bar hidden, probe running,
  // no notice open.
  bool WaitIdle(int timeoutMs = 5000);

  DialogState State() const;
  std::vector<nlohmann::json> Reports() const;
  // States the watcher saw, each different from the one before it.
  std::vector<DialogState> States() const { return states_; }
  bool SawCaption(const QString& caption) const;

  std::unique_ptr<CZavDlg> dlg_;
  std::vector<SeenNotice> notices_;
  int holdMs_ = 0;                              // how long a notice stays open
  std::function<void(QWidget*)> duringNotice_;  // runs once per notice, just before it closes
  bool bothTimers_ = false;

 private:
  void Watch();

  QTimer watcher_;
  std::vector<DialogState> states_;
  QPointer<QWidget> open_;
  qint64 closeAt_ = 0;
};

// The string members of a report as the service stored it; "absent" for a missing one.
std::string Member(const nlohmann::json& report, const char* name);
