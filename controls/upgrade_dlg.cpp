#include "controls/upgrade_dlg.h"

#include <QDesktopServices>
#include <QUrl>

#include "controls/dialog_units.h"
#include "controls/hyperlink.h"
#include "controls/notify_label.h"
#include "controls/ui_upgrade_dialog_132.h"
#include "res/resources.h"
#include "support/log.h"

namespace {

// Hands a web address to the desktop's browser. Any other address is logged and not opened:
// the desktop would open a file: address, or one of some local program's scheme, with
// whatever handles it. The scheme is the parsed address's, not a search of the text.
// Nothing is reported when the browser cannot be started.
void OpenAddress(const QString& address) {
  if (address.isEmpty())
    return;
  const QUrl url(address.trimmed(), QUrl::TolerantMode);
  const bool web =
      url.isValid() && !url.host().isEmpty() &&
      (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
  if (!web) {
    LogLine("url not opened, not an http or https address=", address.toStdString());
    return;
  }
  QDesktopServices::openUrl(url);
}

}  // namespace

CUpgradeDlg::CUpgradeDlg(QWidget* parent) : NoticeDialog(parent, res::kBitmapUpgradeTip) {
  Ui::Template132 ui;
  ui.setupUi(this);
  ApplyDialogTemplate(this);
  m_btnOk = ui.IDOK;
  m_staticTip = ui.IDC_1015;
  m_link = ui.IDC_1016;
  ColourMessage(m_staticTip);
  ColourMessage(ui.IDC_1019);
  connect(ui.IDC_1019, &NotifyLabel::clicked, this, &CUpgradeDlg::OnStnClickedDownload);
  connect(m_link, &QAbstractButton::clicked, this, &CUpgradeDlg::OnNMClickLink);
}

void CUpgradeDlg::OnInitDialog() {
  NoticeDialog::OnInitDialog();
  m_staticTip->setText(m_pszTip.toString());
}

void CUpgradeDlg::OnStnClickedDownload() {
  const QString url = m_pszUrl.toString();
  LogLine("url=", url.toStdString());
  OpenAddress(url);
}

void CUpgradeDlg::OnNMClickLink() {
  const QString item = m_link->GetURL();
  LogLine("url=", item.toStdString());
  LogLine("url23=", m_pszUrl.toString().toStdString());
  OpenAddress(item);
}
