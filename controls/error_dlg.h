// Each notice is built from its template when constructed, lives on its caller's stack and
// runs with DoModal(); the texts a caller sets are borrowed, not copied, and must stay valid
// until DoModal returns.
#pragma once

#include <QStringView>

#include "controls/notice_dialog.h"

class NotifyLabel;

// "错误提示": one line chosen by the caller, over a red exclamation mark.
class CErrorDlg : public NoticeDialog {
  Q_OBJECT
 public:
  explicit CErrorDlg(QWidget* parent = nullptr);

  QStringView m_pszText;  // the message; null shows an empty line

 protected:
  void OnInitDialog() override;

 private:
  NotifyLabel* m_staticText = nullptr;
};
