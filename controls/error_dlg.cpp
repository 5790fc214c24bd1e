#include "controls/error_dlg.h"

#include "controls/dialog_units.h"
#include "controls/notify_label.h"
#include "controls/ui_error_dialog_133.h"
#include "res/resources.h"

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
