#include "app/zav_dlg.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QRadioButton>
#include <algorithm>

#include "app/busy_cursor.h"
#include "controls/about_dlg.h"
#include "controls/dialog_units.h"
#include "controls/error_dlg.h"
#include "controls/my_button.h"
#include "controls/my_progress_bar.h"
#include "controls/palette.h"
#include "controls/success_dlg.h"
#include "controls/ui_zav_dialog_102.h"
#include "controls/upgrade_dlg.h"
#include "device/device.h"
#include "res/resources.h"
#include "service/operations.h"

namespace {

std::chrono::milliseconds g_timerPeriod{CZavDlg::kTimerPeriodMs};

void SetTextColour(QWidget& widget, QColor colour) {
  QPalette text = widget.palette();
  text.setColor(QPalette::WindowText, colour);
  widget.setPalette(text);
}

}  // namespace

CZavDlg::CZavDlg(QWidget* parent) : TemplateDialog(parent) {
  // The tool's only top-level window: an application window with a title, the window menu
  // and a close box, without minimise or maximise boxes.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  Ui::Template102 ui;
  ui.setupUi(this);
  ApplyDialogTemplate(this);
  m_hIcon = QIcon(res::PicturePath(res::kIconApp));
  m_progress = ui.IDC_1006;
  m_btnUpgrade = ui.IDC_1004;
  m_btnComponents = {ui.IDC_1009, ui.IDC_1010, ui.IDC_1011, ui.IDC_1012, ui.IDC_1013};
  m_staticComponents = {ui.IDC_1015, ui.IDC_1016, ui.IDC_1017, ui.IDC_1018, ui.IDC_1019};
  m_staticProduct = ui.IDC_1014;
  m_staticConnect = ui.IDC_1025;
  m_staticVersion = ui.IDC_1026;
  // Enter closes the tool in every state, also when the upgrade button has the focus.
  m_btnUpgrade->setAutoDefault(false);
  connect(m_btnUpgrade, &QAbstractButton::clicked, this, &CZavDlg::OnBnClickedUpgrade);
  connect(&m_timerProgress, &QTimer::timeout, this, &CZavDlg::OnProgressTimer);
  connect(&m_timerProbe, &QTimer::timeout, this, &CZavDlg::OnProbeTimer);
}

CZavDlg::~CZavDlg() = default;

void CZavDlg::OnInitDialog() {
  QueryFirmwareVersion();
  SyncUpgradeTip();
  ColourControls();
  MakeToolButton(*m_btnUpgrade);
  m_progress->SetRange(0, 100);
  m_progress->m_clrText = palette::kNearWhite;
  m_progress->m_clrBar = palette::kPurple;
  m_progress->m_clrBack = palette::kNearWhite;
  m_btnComponents[kDongle]->setChecked(true);
  HideOtherComponents();
  MakeSystemMenu();
  setWindowIcon(m_hIcon);
  m_workflow.Start();
}

// Black background, light text on every label.
void CZavDlg::ColourControls() {
  QPalette background = palette();
  background.setColor(QPalette::Window, palette::kBlack);
  setPalette(background);
  setAutoFillBackground(true);
  SetTextColour(*m_staticProduct, palette::kNearWhite);
  for (QLabel* label : m_staticComponents)
    SetTextColour(*label, palette::kNearWhite);
  SetTextColour(*m_staticConnect, palette::kNearWhite);
  SetTextColour(*m_staticVersion, palette::kNearWhite);
  update();
}

// Only the dongle stays, without the product name.
void CZavDlg::HideOtherComponents() {
  for (const Component c : {kAseChip, kLid, kChargingCase, kDock})
    m_staticComponents[c]->hide();
  for (const Component c : {kAseChip, kLid, kChargingCase, kDock})
    m_btnComponents[c]->hide();
  m_staticProduct->hide();
}

// The window menu: here the dialog's context menu, as the window manager's own menu cannot
// be extended.
void CZavDlg::MakeSystemMenu() {
  const QString about = res::LoadResString(res::kStringAboutBox);
  if (!windowFlags().testFlag(Qt::WindowSystemMenuHint) || about.isEmpty())
    return;
  m_sysMenu = new QMenu(this);
  m_sysMenu->addSeparator();
  QAction* entry = m_sysMenu->addAction(about);
  connect(entry, &QAction::triggered, this, [this] { OnSysCommand(kCommandAbout); });
}

// ---- Service operations ------------------------------------------------------------------

ServiceUi CZavDlg::ServiceView() {
  ServiceUi ui;
  ui.setVersionText = [this](const QString& text) { m_staticVersion->setText(text); };
  // The tip dialog borrows the texts this dialog keeps.
  ui.showUpgradeTip = [this](const QString&, const QString&) {
    CUpgradeDlg tip(this);
    tip.m_pszTip = m_strTip;
    tip.m_pszUrl = m_strUrl;
    tip.DoModal();
  };
  ui.showError = [this](const QString& message) { ShowError(message); };
  return ui;
}

void CZavDlg::QueryFirmwareVersion() {
  const BusyCursor busy;
  ::QueryFirmwareVersion(ServiceView());
}

void CZavDlg::SyncUpgradeTip() {
  const BusyCursor busy;
  ::SyncUpgradeTip(ServiceView(), m_strTip, m_strUrl);
}

// ---- The view of the upgrade workflow ----------------------------------------------------

void CZavDlg::OnBnClickedUpgrade() {
  m_workflow.Press();
}

void CZavDlg::OnProgressTimer() {
  m_workflow.PollProgress();
}

void CZavDlg::OnProbeTimer() {
  m_workflow.ProbeDevice();
}

void CZavDlg::ShowScreen(const UpgradeScreen& screen) {
  m_btnUpgrade->setText(screen.caption);
  m_btnUpgrade->setEnabled(screen.buttonEnabled);
  m_progress->setVisible(screen.barShown);
  m_progress->SetPos(screen.barPos);
  RunJob(screen.job);
}

// The job that stops goes first, so that the two never run together.
void CZavDlg::RunJob(PeriodicJob job) {
  if (job != PeriodicJob::kProgressPoll)
    m_timerProgress.stop();
  if (job != PeriodicJob::kProbe)
    m_timerProbe.stop();
  QTimer* timer = job == PeriodicJob::kProbe          ? &m_timerProbe
                  : job == PeriodicJob::kProgressPoll ? &m_timerProgress
                                                      : nullptr;
  if (timer != nullptr && !timer->isActive())
    timer->start(TimerPeriod());
}

void CZavDlg::ShowConnection(bool connected) {
  m_staticConnect->setText(connected ? QStringLiteral("设备已连接") : QStringLiteral("设备未连接"));
}

void CZavDlg::ShowError(const QString& message) {
  CErrorDlg dlg(this);
  dlg.m_pszText = message;
  dlg.DoModal();
}

void CZavDlg::ShowSuccess() {
  CSuccessDlg(this).DoModal();
}

void CZavDlg::ShowBusy(bool busy) {
  if (busy)
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QGuiApplication::restoreOverrideCursor();
}

// ---- Window ------------------------------------------------------------------------------

void CZavDlg::OnSysCommand(unsigned nID) {
  if ((nID & 0xFFF0u) == kCommandAbout) {
    const QString fingerprint = QString::fromStdString(TrustedKeyFingerprint());
    CAboutDlg about(this);
    about.m_pszKeyFingerprint = fingerprint;
    about.DoModal();
  }
}

void CZavDlg::contextMenuEvent(QContextMenuEvent* event) {
  if (m_sysMenu != nullptr)
    m_sysMenu->exec(event->globalPos());
}

void CZavDlg::SetTimerPeriod(std::chrono::milliseconds period) {
  g_timerPeriod = std::max(period, std::chrono::milliseconds(1));
}

std::chrono::milliseconds CZavDlg::TimerPeriod() {
  return g_timerPeriod;
}

void CZavDlg::done(int result) {
  m_timerProgress.stop();
  m_timerProbe.stop();
  TemplateDialog::done(result);
}
