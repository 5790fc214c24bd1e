// Each notice is built from its template when constructed, lives on its caller's stack and
// runs with DoModal(); the texts a caller sets are borrowed, not copied, and must stay valid
// until DoModal returns.
#pragma once

#include "controls/notice_dialog.h"

// "成功提示": a fixed line over a white tick.
class CSuccessDlg : public NoticeDialog {
  Q_OBJECT
 public:
  explicit CSuccessDlg(QWidget* parent = nullptr);
};
