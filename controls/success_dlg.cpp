#include "controls/success_dlg.h"

#include "controls/dialog_units.h"
#include "controls/ui_success_dialog_134.h"
#include "res/resources.h"

CSuccessDlg::CSuccessDlg(QWidget* parent) : NoticeDialog(parent, res::kBitmapSuccess) {
  Ui::Template134 ui;
  ui.setupUi(this);
  ApplyDialogTemplate(this);
  m_btnOk = ui.IDOK;
  ColourMessage(ui.IDC_1024);
}
