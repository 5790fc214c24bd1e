#pragma once

#include <QDialog>

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
