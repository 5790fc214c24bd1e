#include "controls/dialogs.h"

#include <QBrush>
#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "controls/dialog_units.h"
#include "controls/hyperlink.h"
#include "controls/my_button.h"
#include "controls/notify_label.h"
#include "controls/palette.h"
#include "res/resources.h"
#include "res/ui_about_dialog_100.h"
#include "res/ui_error_dialog_133.h"
#include "res/ui_success_dialog_134.h"
#include "res/ui_upgrade_dialog_132.h"
#include "support/support.h"

namespace {

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

int TemplateDialog::DoModal() {
  std::vector<QCursor> setAside;
  while (const QCursor* cursor = QGuiApplication::overrideCursor()) {
    setAside.push_back(*cursor);
    QGuiApplication::restoreOverrideCursor();
  }
  const int result = exec();
  for (auto cursor = setAside.rbegin(); cursor != setAside.rend(); ++cursor)
    QGuiApplication::setOverrideCursor(*cursor);
  return result;
}

void TemplateDialog::showEvent(QShowEvent* event) {
  if (!initialised_) {
    initialised_ = true;
    // Placed before OnInitDialog, so that a dialog it opens is centred over where this one
    // will appear.
    if (!testAttribute(Qt::WA_Moved))
      CentreWindow();
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

// Centred over the owner's window, or on the screen under the pointer when there is none; kept
// on that screen.
void TemplateDialog::CentreWindow() {
  const QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
  QScreen* screen = QGuiApplication::screenAt(owner ? owner->geometry().center() : QCursor::pos());
  if (screen == nullptr)
    screen = this->screen();
  const QRect area = screen->availableGeometry();
  QRect placed(QPoint(), size());
  placed.moveCenter(owner != nullptr ? owner->geometry().center() : area.center());
  placed.moveLeft(std::max(area.left(), std::min(placed.left(), area.right() - placed.width())));
  placed.moveTop(std::max(area.top(), std::min(placed.top(), area.bottom() - placed.height())));
  move(placed.topLeft());
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
  m_btnOk->m_clrText = palette::kNearWhite;
  m_btnOk->m_clrPressed = palette::kPurple;
  m_btnOk->m_clrNormal = palette::kPurple;
}

void NoticeDialog::paintEvent(QPaintEvent*) {
  QPainter dc(this);
  // Loaded for each paint, as the pattern brush is made for each paint.
  dc.drawTiledPixmap(kPaintedArea, res::LoadPicture(bitmap_, devicePixelRatioF()));
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
  QPalette colours = control->palette();
  colours.setColor(QPalette::WindowText, palette::kNearWhite);
  control->setPalette(colours);
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
