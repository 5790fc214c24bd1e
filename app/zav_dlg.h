// The main dialog of the tool (template 102) and the upgrade workflow it runs.
//
// The workflow keeps no state variable of its own: the state is which timer runs, the upgrade
// button's caption and enabled state, and whether the progress bar is shown.
//
//   Idle        timer 2 (presence probe)  "升级"   enabled   bar hidden
//   Upgrading   timer 1 (progress poll)   "升级中" / "重启中" from 95   disabled   bar shown
//   Finishing   no timer                  "升级成功" / "升级失败"   disabled   bar shown
//
// Every press of the upgrade button ends in exactly one result report and one notice, the
// report sent before the notice opens. Everything runs on the GUI thread; service requests
// and the download block it while they run.
#pragma once

#include <QBasicTimer>
#include <QIcon>
#include <QString>
#include <chrono>
#include <string>

#include "controls/template_dialog.h"

class CMyButton;
class CMyProgressBar;
class QLabel;
class QMenu;
class QRadioButton;
struct ServiceUi;

class CZavDlg : public TemplateDialog {
  Q_OBJECT
 public:
  explicit CZavDlg(QWidget* parent = nullptr);
  ~CZavDlg() override;

  // The window's two timers, by id.
  static constexpr int kTimerProgress = 1;       // the progress poll, while an upgrade runs
  static constexpr int kTimerProbe = 2;          // the presence probe, whenever none runs
  static constexpr int kTimerPeriodMs = 1000;    // as shipped
  static constexpr unsigned kCommandAbout = 16;  // the About entry of the window's menu

  // The period of both timers, for every dialog and from the next timer set on: tests make it
  // short so that the workflow runs at their pace instead of a poll a second. A period below
  // 1 ms is taken as 1 ms.
  static void SetTimerPeriod(std::chrono::milliseconds period);
  static std::chrono::milliseconds TimerPeriod();

  // The upgrade button's handler: download, then start the upgrade.
  void OnBnClickedUpgrade();
  // Connects and starts writing the firmware file at binPath (system code page).
  void StartUpgrade(std::string binPath);
  void EnterUpgradingState();

  // A timer tick; ids other than 1 and 2 are ignored.
  void OnTimer(int nIDEvent);
  // One progress poll with the figure p read from the library; the poll's steps after the
  // read. No effect while the progress bar is hidden.
  void OnProgress(unsigned char p);
  // A command of the window's menu (the About entry).
  void OnSysCommand(unsigned nID);

  // The service operations, handed what they touch of this window: the version label, the
  // upgrade-tip dialog with the texts this dialog keeps, the error notice.
  void QueryFirmwareVersion();
  void SyncUpgradeTip();
  QString DownloadFirmware();

  bool IsTimerRunning(int nIDEvent) const;  // for diagnostics and tests
  QMenu* SystemMenu() const { return m_sysMenu; }
  const QString& UpgradeTip() const { return m_strTip; }
  const QString& UpgradeLink() const { return m_strUrl; }

 protected:
  void OnInitDialog() override;
  void timerEvent(QTimerEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  // Closing ends the timers with the window: nothing is disconnected, reported or shown.
  void done(int result) override;

 private:
  ServiceUi MakeServiceUi();
  void SetTimer(int nIDEvent, std::chrono::milliseconds elapse);
  void KillTimer(int nIDEvent);
  QBasicTimer* Timer(int nIDEvent);
  void ProbeDevice();
  void FinishUpgrade(unsigned char p);
  void ShowError(QStringView message);

  QIcon m_hIcon;
  QString m_strTip;  // filled by the upgrade-tip sync and handed to the tip dialog
  QString m_strUrl;
  CMyProgressBar* m_progress = nullptr;  // 1006
  CMyButton* m_btnUpgrade = nullptr;     // 1004
  QRadioButton* m_btnDongle = nullptr;   // 1010
  QLabel* m_staticProduct = nullptr;     // 1014
  QLabel* m_staticConnect = nullptr;     // 1025
  QLabel* m_staticVersion = nullptr;     // 1026
  QMenu* m_sysMenu = nullptr;            // the window menu with the About entry
  QBasicTimer m_timerProgress;
  QBasicTimer m_timerProbe;
};
