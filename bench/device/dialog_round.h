// One press of "升级" on a fresh main dialog, timed from the press to the notice of the
// outcome, which it closes as a user would: the whole upgrade as a user waits for it.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>

#include "app/zav_dlg.h"
#include "bench/service/bench_common.h"
#include "controls/dialog_units.h"
#include "controls/error_dlg.h"
#include "controls/success_dlg.h"
#include "dongle/dongle.h"

namespace bench {

// Notes when the notice of the upgrade shows, and closes it as a user would.
using Clock = std::chrono::steady_clock;

class NoticeWatch : public QObject {
 public:
  Clock::time_point shown;
  bool seen = false;
  bool success = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && !seen) {
      auto* ok = qobject_cast<CSuccessDlg*>(watched);
      auto* error = qobject_cast<CErrorDlg*>(watched);
      if (ok != nullptr || error != nullptr) {
        shown = Clock::now();
        seen = true;
        success = ok != nullptr;
        auto* notice = qobject_cast<QDialog*>(watched);
        QTimer::singleShot(0, notice, [notice] { notice->accept(); });
      }
    }
    return false;
  }
};

// One press of the button on a fresh dialog and a fresh dongle (full speed, realistic flash,
// factory image, then `setUp`); the seconds to its notice, or -1 on failure.
inline double PressToNotice(const std::function<void()>& setUp = {},
                            Clock::time_point* pressedAt = nullptr) {
  VirtualDongle::Reset();
  if (setUp)
    setUp();
  CZavDlg dlg;
  NoticeWatch watch;
  qApp->installEventFilter(&watch);
  dlg.show();
  auto* button = DialogItem<QAbstractButton>(&dlg, 1004);
  Clock::time_point pressed;
  QTimer::singleShot(200, [&] {
    pressed = Clock::now();
    button->click();
  });
  QEventLoop loop;
  QTimer poll;
  // Done once the notice has closed and the dialog is idle again.
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (watch.seen && QApplication::activeModalWidget() == nullptr && button->isEnabled())
      loop.quit();
  });
  poll.start(10);
  loop.exec();
  qApp->removeEventFilter(&watch);
  dlg.reject();
  if (!watch.success) {
    std::fprintf(stderr, "the upgrade did not succeed\n");
    return -1;
  }
  if (pressedAt != nullptr)
    *pressedAt = pressed;
  return bench::Seconds(watch.shown - pressed);
}

}  // namespace bench
