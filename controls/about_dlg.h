#pragma once

#include <QStringView>

#include "controls/template_dialog.h"

class QLabel;

// "关于 Zav": icon, name and version, the firmware signing key the tool trusts, OK.
class CAboutDlg : public TemplateDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  // The SHA-256 fingerprint of that key in hex, read when the dialog opens: the second line
  // shows its first 16 digits, enough to tell keys apart; its tooltip the whole. Empty: the
  // line keeps the template's text.
  QStringView m_pszKeyFingerprint;

 protected:
  void OnInitDialog() override;

 private:
  QLabel* m_staticNote = nullptr;
};
