// The main dialog of the tool: template 102 with the version and connection labels, the
// upgrade button and the progress bar, and the upgrade workflow that the button and the two
// timers drive.
//
// Workflow states (no state variable: which timer runs, the button and the bar tell it):
//   Idle        timer 2 (presence probe)  "升级", enabled      bar hidden
//   Upgrading   timer 1 (progress poll)   "升级中" / "重启中", disabled   bar shown
//   Finishing   no timer, a notice open   "升级成功" / "升级失败", disabled   bar shown
// Every press of the upgrade button ends in exactly one result report and one notice, the
// report sent before the notice opens.
#pragma once

#include <QIcon>
#include <QString>
#include <map>
#include <string>

#include "controls/dialogs.h"

class CMyButton;
class CMyProgressBar;
class QContextMenuEvent;
class QLabel;
class QRadioButton;
class QTimerEvent;
struct ServiceUi;

class CZavDlg : public TemplateDialog {
  Q_OBJECT
 public:
  static constexpr int kTimerProgress = 1;  // the progress poll, while upgrading
  static constexpr int kTimerProbe = 2;     // the presence probe, while idle
  static constexpr int kTimerPeriodMs = 1000;
  static constexpr unsigned kCommandAbout = 16;  // the About entry of the window menu

  explicit CZavDlg(QWidget* parent = nullptr);
  ~CZavDlg() override;

  // Whether the dialog's timer `id` is set (for diagnostics and tests).
  bool IsTimerSet(int id) const { return timers_.count(id) != 0; }

  // Ends the modal run; the timers end with it, as they do with the window.
  void done(int result) override;

 protected:
  // Version query and tip sync (before the dialog is first shown), then colours, range,
  // hiding, the About entry, the icon and timer 2.
  void OnInitDialog() override;

  // The upgrade button.
  void OnBnClickedUpgrade();
  // Starts the write of the firmware file at binPath (system code page).
  void StartUpgrade(std::string binPath);
  void EnterUpgradingState();
  // A tick of timer `id`: 1 polls the progress, 2 probes for the device.
  void OnTimer(int id);
  // The progress poll with the figure the library reported.
  void OnProgress(unsigned char progress);
  void ProbeDevice();
  // A window-menu command; kCommandAbout opens the About box.
  void OnSysCommand(unsigned id);

  // The service operations, handed what they may touch of this dialog.
  void QueryFirmwareVersion();
  void SyncUpgradeTip();
  QString DownloadFirmware();

  // Timers on this dialog, by our id; setting one that runs restarts it.
  void SetTimer(int id, int periodMs);
  void KillTimer(int id);

  void timerEvent(QTimerEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

  QIcon m_hIcon;
  QString m_strTip;                      // the service's upgrade tip, shown by the tip dialog
  QString m_strUrl;                      // its download address
  CMyProgressBar* m_progress = nullptr;  // 1006
  CMyButton* m_btnUpgrade = nullptr;     // 1004
  QRadioButton* m_btnDongle = nullptr;   // 1010
  QLabel* m_staticProduct = nullptr;     // 1014
  QLabel* m_staticConnect = nullptr;     // 1025
  QLabel* m_staticVersion = nullptr;     // 1026

 private:
  ServiceUi MakeServiceUi();
  void ShowError(const QString& message);

  std::map<int, int> timers_;  // our id -> Qt's timer id
};
