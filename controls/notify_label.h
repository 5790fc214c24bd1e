#pragma once

#include <QLabel>

// A label with the "notify" style: a left click on it emits clicked().
class NotifyLabel : public QLabel {
  Q_OBJECT
 public:
  explicit NotifyLabel(QWidget* parent = nullptr);

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};
