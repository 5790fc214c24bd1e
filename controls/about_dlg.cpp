#include "controls/about_dlg.h"

#include "controls/dialog_units.h"
#include "controls/ui_about_dialog_100.h"

CAboutDlg::CAboutDlg(QWidget* parent) : TemplateDialog(parent) {
  Ui::Template100 ui;
  ui.setupUi(this);
  ApplyDialogTemplate(this);
}
