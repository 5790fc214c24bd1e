// Each notice is built from its template when constructed, lives on its caller's stack and
// runs with DoModal(); the texts a caller sets are borrowed, not copied, and must stay valid
// until DoModal returns.
#pragma once

#include <QStringView>

#include "controls/notice_dialog.h"

class CHyperlink;
class QLabel;

// "升级提示": the service's tip and "点击下载", which opens m_pszUrl at every click and writes
// the line "url=" <address>. The dialog stays open.
class CUpgradeDlg : public NoticeDialog {
  Q_OBJECT
 public:
  explicit CUpgradeDlg(QWidget* parent = nullptr);

  QStringView m_pszTip;  // read once, when the dialog opens
  QStringView m_pszUrl;  // read at every click

 protected:
  void OnInitDialog() override;

 private:
  void OnStnClickedDownload();  // "点击下载"
  void OnNMClickLink();         // the template's hidden link control

  QLabel* m_staticTip = nullptr;
  CHyperlink* m_link = nullptr;
};
