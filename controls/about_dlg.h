#pragma once

#include "controls/template_dialog.h"

// "关于 Zav": icon, name and version, one line about the tool, OK.
class CAboutDlg : public TemplateDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};
