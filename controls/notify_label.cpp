#include "controls/notify_label.h"

#include <QMouseEvent>

NotifyLabel::NotifyLabel(QWidget* parent) : QLabel(parent) {}

void NotifyLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QLabel::mousePressEvent(event);
    return;
  }
  // Taken here, so that the release comes back to the label and not to the dialog.
  pressed_ = true;
  event->accept();
}

void NotifyLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pressed_) {
    QLabel::mouseReleaseEvent(event);
    return;
  }
  pressed_ = false;
  event->accept();
  if (rect().contains(event->position().toPoint()))
    emit clicked();
}
