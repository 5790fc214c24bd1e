#include "tests/controls/widget_test_util.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTest>
#include <QWidget>
#include <algorithm>

QImage Grab(QWidget* widget) {
  return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

bool ShowActive(QWidget* window) {
  window->show();
  window->activateWindow();
  QApplication::setActiveWindow(window);
  return QTest::qWaitForWindowActive(window, 2000);
}

QRect InkBounds(const QImage& image, const std::vector<QColor>& background) {
  QRect bounds;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (std::find(background.begin(), background.end(), c) == background.end()) {
        bounds |= QRect(x, y, 1, 1);
      }
    }
  }
  return bounds;
}

int CountColour(const QImage& image, const QRect& rect, const QColor& colour) {
  int count = 0;
  const QRect area = rect & image.rect();
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (image.pixelColor(x, y) == colour)
        ++count;
    }
  }
  return count;
}

namespace {
const char* const kCaughtSchemes[] = {"http", "https", "file", "ftp", "mailto", "javascript", ""};
}  // namespace

UrlCatcher::UrlCatcher() {
  for (const char* scheme : kCaughtSchemes)
    QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "Open");
}

UrlCatcher::~UrlCatcher() {
  for (const char* scheme : kCaughtSchemes)
    QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}
