#include "app/zav_dlg.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QRadioButton>
#include <QTimerEvent>
#include <algorithm>
#include <initializer_list>

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
#include "support/clock.h"
#include "support/log.h"
#include "support/text.h"

namespace {

constexpr int kRestartingFrom = 95;
constexpr int kFinishedFrom = 100;

std::chrono::milliseconds g_timerPeriod{CZavDlg::kTimerPeriodMs};

// The labels drawn in light text on the black background.
constexpr int kLightLabels[] = {1014, 1015, 1016, 1017, 1018, 1019, 1025, 1026};
// What start-up hides, in this order: every component but the dongle, and the product name.
constexpr int kHiddenAtStart[] = {1015, 1017, 1018, 1019, 1009, 1011, 1012, 1013, 1014};

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
  m_btnDongle = ui.IDC_1010;
  m_staticProduct = ui.IDC_1014;
  m_staticConnect = ui.IDC_1025;
  m_staticVersion = ui.IDC_1026;
  // Enter closes the tool in every state, also when the upgrade button has the focus.
  m_btnUpgrade->setAutoDefault(false);
  connect(m_btnUpgrade, &QAbstractButton::clicked, this, &CZavDlg::OnBnClickedUpgrade);
}

CZavDlg::~CZavDlg() = default;

void CZavDlg::OnInitDialog() {
  QueryFirmwareVersion();
  SyncUpgradeTip();

  QPalette background = palette();
  background.setColor(QPalette::Window, palette::kBlack);
  setPalette(background);
  setAutoFillBackground(true);
  for (const int id : kLightLabels) {
    if (auto* label = DialogItem<QLabel>(this, id)) {
      QPalette text = label->palette();
      text.setColor(QPalette::WindowText, palette::kNearWhite);
      label->setPalette(text);
    }
  }
  update();

  MakeToolButton(*m_btnUpgrade);

  m_progress->SetRange(0, 100);
  m_progress->m_clrText = palette::kNearWhite;
  m_progress->m_clrBar = palette::kPurple;
  m_progress->m_clrBack = palette::kNearWhite;

  m_btnDongle->setChecked(true);
  for (const int id : kHiddenAtStart) {
    if (QWidget* control = DialogItem<QWidget>(this, id))
      control->hide();
  }

  // The window menu: here the dialog's context menu, as the window manager's own menu
  // cannot be extended.
  const QString about = res::LoadResString(res::kStringAboutBox);
  if (windowFlags().testFlag(Qt::WindowSystemMenuHint) && !about.isEmpty()) {
    m_sysMenu = new QMenu(this);
    m_sysMenu->addSeparator();
    QAction* entry = m_sysMenu->addAction(about);
    connect(entry, &QAction::triggered, this, [this] { OnSysCommand(kCommandAbout); });
  }

  setWindowIcon(m_hIcon);
  SetTimer(kTimerProbe, TimerPeriod());
}

// ---- Service operations ------------------------------------------------------------------

ServiceUi CZavDlg::MakeServiceUi() {
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
  ::QueryFirmwareVersion(MakeServiceUi());
}

void CZavDlg::SyncUpgradeTip() {
  const BusyCursor busy;
  ::SyncUpgradeTip(MakeServiceUi(), m_strTip, m_strUrl);
}

QString CZavDlg::DownloadFirmware() {
  return ::DownloadFirmware(MakeServiceUi());
}

void CZavDlg::ShowError(QStringView message) {
  CErrorDlg dlg(this);
  dlg.m_pszText = message;
  dlg.DoModal();
}

// ---- Upgrade workflow --------------------------------------------------------------------

void CZavDlg::OnBnClickedUpgrade() {
  const BusyCursor busy;  // the download, the failure reports, the start of the write
  const QString path = DownloadFirmware();
  if (path.isEmpty())
    return;  // reported and shown by the download
  if (path == QLatin1String("ERROR")) {
    ReportFailure("3", 0, QStringLiteral("升级文件下载失败！"));
    ShowError(u"升级文件下载失败，请检查网络！");
    return;
  }
  m_progress->hide();
  // The path in the system code page, as the report and the library take it; the library
  // turns it into the file system's encoding to open the file.
  FirmwareInfo.localPath = CStringToAnsi(path);
  StartUpgrade(FirmwareInfo.localPath);
}

void CZavDlg::StartUpgrade(std::string binPath) {
  g_upgradeStartTime = NowMs();
  if (DfuConnect() != 0) {
    ReportFailure("0", 0, DfuLastError());
    ShowError(u"设备未成功连接，请进行检查！");
    return;
  }
  if (DfuUpgrade(binPath) != 0) {
    // The connection stays open; the next probe closes it first.
    ReportFailure("1", 0, DfuLastError());
    ShowError(u"设备升级失败，请进行检查！");
    return;
  }
  EnterUpgradingState();
}

void CZavDlg::EnterUpgradingState() {
  m_btnUpgrade->setText(QStringLiteral("升级中"));
  m_btnUpgrade->setEnabled(false);
  m_progress->show();
  m_progress->SetPos(0);
  // The probe must not run during the write: a disconnect would cancel it.
  KillTimer(kTimerProbe);
  SetTimer(kTimerProgress, TimerPeriod());
}

void CZavDlg::OnTimer(int nIDEvent) {
  if (nIDEvent == kTimerProgress) {
    OnProgress(DfuProgress());
  } else if (nIDEvent == kTimerProbe) {
    ProbeDevice();
  }
}

void CZavDlg::OnProgress(unsigned char p) {
  if (!m_progress->isVisible())
    return;
  if (p < kFinishedFrom)
    m_progress->SetPos(p);
  LogLine("pos=", p);
  if (p < kRestartingFrom)
    return;
  if (p < kFinishedFrom) {
    m_btnUpgrade->setText(QStringLiteral("重启中"));
    return;
  }

  FinishUpgrade(p);
}

// The write has ended (a figure above 100 counts as finished too). No timer runs while the
// notice is open.
void CZavDlg::FinishUpgrade(unsigned char p) {
  const BusyCursor busy;  // the result report
  KillTimer(kTimerProgress);
  if (DfuCheckResult() == 0) {
    DfuReadVersions();
    m_progress->SetPos(p);
    m_btnUpgrade->setText(QStringLiteral("升级成功"));
    ReportResult("1", "", "100", "");
    CSuccessDlg(this).DoModal();
  } else {
    m_btnUpgrade->setText(QStringLiteral("升级失败"));
    const std::string error = DfuLastError();
    ReportFailure("2", m_progress->GetPos(), error);
    ShowError(u"设备升级失败，请检查或重试！");
  }
  m_progress->hide();
  m_btnUpgrade->setEnabled(true);
  m_btnUpgrade->setText(QStringLiteral("升级"));
  SetTimer(kTimerProbe, TimerPeriod());
  DfuDisconnect();
}

void CZavDlg::ProbeDevice() {
  DfuDisconnect();
  if (DfuConnect() != 0) {
    m_staticConnect->setText(QStringLiteral("设备未连接"));
    return;
  }
  DfuDisconnect();
  LogLine("设备已连接");
  m_staticConnect->setText(QStringLiteral("设备已连接"));
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

QBasicTimer* CZavDlg::Timer(int nIDEvent) {
  switch (nIDEvent) {
    case kTimerProgress:
      return &m_timerProgress;
    case kTimerProbe:
      return &m_timerProbe;
    default:
      return nullptr;
  }
}

void CZavDlg::SetTimerPeriod(std::chrono::milliseconds period) {
  g_timerPeriod = std::max(period, std::chrono::milliseconds(1));
}

std::chrono::milliseconds CZavDlg::TimerPeriod() {
  return g_timerPeriod;
}

// Setting a timer that runs restarts it with the new period, as the platform's timers do.
void CZavDlg::SetTimer(int nIDEvent, std::chrono::milliseconds elapse) {
  if (QBasicTimer* timer = Timer(nIDEvent))
    timer->start(static_cast<int>(elapse.count()), this);
}

void CZavDlg::KillTimer(int nIDEvent) {
  if (QBasicTimer* timer = Timer(nIDEvent))
    timer->stop();
}

bool CZavDlg::IsTimerRunning(int nIDEvent) const {
  switch (nIDEvent) {
    case kTimerProgress:
      return m_timerProgress.isActive();
    case kTimerProbe:
      return m_timerProbe.isActive();
    default:
      return false;
  }
}

void CZavDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() == m_timerProgress.timerId() && m_timerProgress.isActive()) {
    OnTimer(kTimerProgress);
  } else if (event->timerId() == m_timerProbe.timerId() && m_timerProbe.isActive()) {
    OnTimer(kTimerProbe);
  } else {
    TemplateDialog::timerEvent(event);
  }
}

void CZavDlg::done(int result) {
  KillTimer(kTimerProgress);
  KillTimer(kTimerProbe);
  TemplateDialog::done(result);
}
