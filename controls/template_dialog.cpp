#include "controls/template_dialog.h"

#include <QAbstractButton>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <algorithm>
#include <vector>

#include "controls/dialog_units.h"
#include "res/resources.h"

TemplateDialog::TemplateDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  // The templates load their pictures while they are set up.
  InitZavResources();
}

int TemplateDialog::DoModal() {
  std::vector<QCursor> setAside;
  while (const QCursor* cursor = QGuiApplication::overrideCursor()) {
    setAside.push_back(*cursor);
    QGuiApplication::restoreOverrideCursor();
  }
  const int result = exec();
  for (auto cursor = setAside.rbegin(); cursor != setAside.rend(); ++cursor)
    QGuiApplication::setOverrideCursor(*cursor);
  return result;
}

void TemplateDialog::showEvent(QShowEvent* event) {
  if (!initialised_) {
    initialised_ = true;
    // Placed before OnInitDialog, so that a dialog it opens is centred over where this one
    // will appear.
    if (!testAttribute(Qt::WA_Moved))
      CentreWindow();
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

// Centred over the owner's window, or on the screen under the pointer when there is none; kept
// on that screen.
void TemplateDialog::CentreWindow() {
  const QWidget* owner = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
  QScreen* screen = QGuiApplication::screenAt(owner ? owner->geometry().center() : QCursor::pos());
  if (screen == nullptr)
    screen = this->screen();
  const QRect area = screen->availableGeometry();
  QRect placed(QPoint(), size());
  placed.moveCenter(owner != nullptr ? owner->geometry().center() : area.center());
  placed.moveLeft(std::max(area.left(), std::min(placed.left(), area.right() - placed.width())));
  placed.moveTop(std::max(area.top(), std::min(placed.top(), area.bottom() - placed.height())));
  move(placed.topLeft());
}

void TemplateDialog::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
  if (enter && modifiers == Qt::NoModifier) {
    // QDialog only clicks a visible default button; the platform sends OK in any case.
    auto* ok = DialogItem<QAbstractButton>(this, 1);
    if (ok != nullptr && !ok->isVisible()) {
      ok->click();
      return;
    }
  }
  QDialog::keyPressEvent(event);
}
