// The main dialog of the tool (template 102): start-up, the window, and the view of the
// upgrade workflow (app/upgrade_workflow.h), which holds the workflow's state. The dialog
// shows that state, runs the periodic job the state names on one of its two timers and hands
// each tick to the workflow. Everything runs on the GUI thread.
#pragma once

#include <QIcon>
#include <QString>
#include <QTimer>
#include <array>
#include <chrono>

#include "app/upgrade_view.h"
#include "app/upgrade_workflow.h"
#include "controls/template_dialog.h"

class CMyButton;
class CMyProgressBar;
class QLabel;
class QMenu;
class QRadioButton;

class CZavDlg : public TemplateDialog, private UpgradeView {
  Q_OBJECT
 public:
  explicit CZavDlg(QWidget* parent = nullptr);
  ~CZavDlg() override;

  static constexpr int kTimerPeriodMs = 1000;    // both timers', as shipped
  static constexpr unsigned kCommandAbout = 16;  // the About entry of the window's menu

  // The period of both timers, for every dialog and from the next timer started on: tests
  // make it short so that the workflow runs at their pace instead of a poll a second. A period
  // below 1 ms is taken as 1 ms.
  static void SetTimerPeriod(std::chrono::milliseconds period);
  static std::chrono::milliseconds TimerPeriod();

  // The upgrade button's handler.
  void OnBnClickedUpgrade();
  // A command of the window's menu (the About entry).
  void OnSysCommand(unsigned nID);

  // The service operations of the start-up, handed what they touch of this window: the
  // version label, the upgrade-tip dialog with the texts this dialog keeps.
  void QueryFirmwareVersion();
  void SyncUpgradeTip();

  // The two periodic jobs, never active together.
  const QTimer& ProgressTimer() const { return m_timerProgress; }
  const QTimer& ProbeTimer() const { return m_timerProbe; }
  QMenu* SystemMenu() const { return m_sysMenu; }
  const QString& UpgradeTip() const { return m_strTip; }
  const QString& UpgradeLink() const { return m_strUrl; }

 protected:
  void OnInitDialog() override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  // Closing ends the timers with the window: nothing is disconnected, reported or shown.
  void done(int result) override;

 private slots:
  void OnProgressTimer();
  void OnProbeTimer();

 private:
  // The main dialog's components, in the template's order.
  enum Component { kAseChip, kDongle, kLid, kChargingCase, kDock, kComponents };

  // UpgradeView
  void ShowScreen(const UpgradeScreen& screen) override;
  void ShowConnection(bool connected) override;
  void ShowError(const QString& message) override;
  void ShowSuccess() override;
  void ShowBusy(bool busy) override;
  ServiceUi ServiceView() override;

  void ColourControls();
  void HideOtherComponents();
  void MakeSystemMenu();
  void RunJob(PeriodicJob job);

  QIcon m_hIcon;
  QString m_strTip;  // filled by the upgrade-tip sync and handed to the tip dialog
  QString m_strUrl;
  CMyProgressBar* m_progress = nullptr;
  CMyButton* m_btnUpgrade = nullptr;
  std::array<QRadioButton*, kComponents> m_btnComponents{};
  std::array<QLabel*, kComponents> m_staticComponents{};
  QLabel* m_staticProduct = nullptr;
  QLabel* m_staticConnect = nullptr;
  QLabel* m_staticVersion = nullptr;
  QMenu* m_sysMenu = nullptr;  // the window menu with the About entry
  QTimer m_timerProgress;      // the progress poll, while a write is followed
  QTimer m_timerProbe;         // the presence probe, whenever none is
  UpgradeWorkflow m_workflow{*this};
};
