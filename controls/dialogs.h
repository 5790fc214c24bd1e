// The notice dialogs and the About box. Each is built from its template when constructed,
// lives on its caller's stack and runs with DoModal(); the texts a caller sets are borrowed,
// not copied, and must stay valid until DoModal returns.
//
//   CErrorDlg dlg;
//   dlg.m_pszText = u"设备未成功连接，请进行检查！";
//   dlg.DoModal();
//
//   CUpgradeDlg tip;
//   tip.m_pszTip = m_strTip;  // QStrings the caller keeps
//   tip.m_pszUrl = m_strUrl;
//   tip.DoModal();
#pragma once

#include <QDialog>
#include <QStringView>

class CHyperlink;
class CMyButton;
class NotifyLabel;
class QLabel;

// A dialog built from a template (see controls/dialog_units.h). OnInitDialog runs once,
// right before the dialog is first shown: inside DoModal, or at the first show(), after the
// dialog has been centred over its owner (or the screen). Enter clicks IDOK even when IDOK is
// hidden (the main dialog's is), Esc rejects.
class TemplateDialog : public QDialog {
  Q_OBJECT
 public:
  // Runs the dialog modally. Busy cursors set by its owner are set aside while it is open.
  int DoModal();

 protected:
  explicit TemplateDialog(QWidget* parent);
  virtual void OnInitDialog() {}
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CentreWindow();

  bool initialised_ = false;
};

// The look the three notices share: their picture tiled from the client origin with a
// 1-pixel black line along the top and left edges, near-white message texts with no
// background of their own, and the flat purple OK button.
class NoticeDialog : public TemplateDialog {
  Q_OBJECT
 protected:
  NoticeDialog(QWidget* parent, int bitmap);
  void OnInitDialog() override;  // the OK button is made owner-drawn and coloured
  void paintEvent(QPaintEvent* event) override;
  static void ColourMessage(QWidget* control);  // near-white text, transparent

  CMyButton* m_btnOk = nullptr;

 private:
  int bitmap_;
};

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

// "成功提示": a fixed line over a white tick.
class CSuccessDlg : public NoticeDialog {
  Q_OBJECT
 public:
  explicit CSuccessDlg(QWidget* parent = nullptr);
};

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

// "关于 Zav": icon, name and version, one line about the tool, OK.
class CAboutDlg : public TemplateDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};
