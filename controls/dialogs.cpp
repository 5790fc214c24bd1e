#include "controls/dialogs.h"

#include <QBrush>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QUrl>

#include "controls/controls.h"
#include "controls/dialog_units.h"
#include "res/resources.h"
#include "res/ui_about_dialog_100.h"
#include "res/ui_error_dialog_133.h"
#include "res/ui_success_dialog_134.h"
#include "res/ui_upgrade_dialog_132.h"
#include "support/log.h"

namespace {

const QColor kMessageText(255, 250, 250);
const QColor kPurple(160, 32, 240);

// The notices paint this rectangle with their picture; it reaches past their edges, so only
// its top and left outline lie inside the client area.
constexpr QRect kPaintedArea(0, 0, 790, 650);

// Hands an address to the desktop's handler for it, unchanged: an address without a scheme
// too. Nothing is reported when it cannot be opened.
void OpenAddress(const QString& address) {
  if (address.isEmpty())
    return;
  QDesktopServices::openUrl(QUrl(address, QUrl::TolerantMode));
}

}  // namespace

TemplateDialog::TemplateDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  // The templates load their pictures while they are set up.
  InitZavResources();
}

void TemplateDialog::showEvent(QShowEvent* event) {
  if (!initialised_) {
    initialised_ = true;
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

void TemplateDialog::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
  if (enter && modifiers == Qt::NoModifier) {
    // QDialog only clicks a visible default button; the platform sends OK in any case.
    auto* ok = DialogItem<QAbstractButton>(this, 1);
    if (ok != nullptr && !ok->isVisible()) {
      ok->click();
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

NoticeDialog::NoticeDialog(QWidget* parent, int bitmap) : TemplateDialog(parent), bitmap_(bitmap) {}

void NoticeDialog::OnInitDialog() {
  if (m_btnOk == nullptr)
    return;
  m_btnOk->SetOwnerDraw();
  m_btnOk->m_clrText = kMessageText;
  m_btnOk->m_clrPressed = kPurple;
  m_btnOk->m_clrNormal = kPurple;
}

void NoticeDialog::paintEvent(QPaintEvent*) {
  QPainter dc(this);
  // Loaded for each paint, as the pattern brush is made for each paint.
  const QPixmap picture(res::PicturePath(bitmap_));
  dc.fillRect(kPaintedArea, QBrush(picture));
  // The outline of the painted rectangle, in the default black pen.
  const QRect& r = kPaintedArea;
  dc.fillRect(QRect(r.left(), r.top(), r.width(), 1), Qt::black);
  dc.fillRect(QRect(r.left(), r.top(), 1, r.height()), Qt::black);
  dc.fillRect(QRect(r.right(), r.top(), 1, r.height()), Qt::black);
  dc.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), Qt::black);
}

void NoticeDialog::ColourMessage(QWidget* control) {
  if (control == nullptr)
    return;
  QPalette palette = control->palette();
  palette.setColor(QPalette::WindowText, kMessageText);
  control->setPalette(palette);
  control->setAutoFillBackground(false);
}

CErrorDlg::CErrorDlg(QWidget* parent) : NoticeDialog(parent, res::kBitmapError) {
  Ui::Template133 ui;
  ui.setupUi(this);
  ApplyDialogTemplate(this);
  m_btnOk = ui.IDOK;
  m_staticText = ui.IDC_1022;
  ColourMessage(m_staticText);
}

void CErrorDlg::OnInitDialog() {
  NoticeDialog::OnInitDialog();
  m_staticText->setText(m_pszText.toString());
}

CSuccessDlg::CSuccessDlg(QWidget* parent) : NoticeDialog(parent, res::kBitmapSuccess) {
  Ui::Template134 ui;
  ui.setupUi(this);
  ApplyDialogTemplate(this);
  m_btnOk = ui.IDOK;
  ColourMessage(ui.IDC_1024);
}

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

CAboutDlg::CAboutDlg(QWidget* parent) : TemplateDialog(parent) {
  Ui::Template100 ui;
  ui.setupUi(this);
  ApplyDialogTemplate(this);
}
