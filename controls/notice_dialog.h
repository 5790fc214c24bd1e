#pragma once

#include "controls/template_dialog.h"

class CMyButton;

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
