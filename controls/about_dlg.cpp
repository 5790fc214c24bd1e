#include "controls/about_dlg.h"

#include <QLabel>

#include "controls/dialog_units.h"
#include "controls/ui_about_dialog_100.h"

namespace {

constexpr int kShownDigits = 16;
constexpr int kGroupDigits = 4;

// Hex digits in groups, as fingerprints are read aloud and compared.
QString Grouped(QStringView digits) {
  QString text;
  for (qsizetype at = 0; at < digits.size(); at += kGroupDigits) {
    if (at > 0)
      text += ' ';
    text += digits.mid(at, kGroupDigits);
  }
  return text;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : TemplateDialog(parent) {
  Ui::Template100 ui;
  ui.setupUi(this);
  ApplyDialogTemplate(this);
  m_staticNote = ui.IDC_STATIC_note;
}

void CAboutDlg::OnInitDialog() {
  if (m_pszKeyFingerprint.isEmpty())
    return;
  m_staticNote->setText(QStringLiteral("签名密钥 ") +
                        Grouped(m_pszKeyFingerprint.left(kShownDigits)));
  m_staticNote->setToolTip(QStringLiteral("固件签名密钥的 SHA-256 指纹：\n") +
                           Grouped(m_pszKeyFingerprint.left(32)) + '\n' +
                           Grouped(m_pszKeyFingerprint.mid(32)));
}
