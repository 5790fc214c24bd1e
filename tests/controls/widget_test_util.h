// Helpers for the widget tests: grabbed pixels, an active window, and a stand-in for the
// desktop's URL handler.
#pragma once

#include <QColor>
#include <QImage>
#include <QObject>
#include <QRect>
#include <QStringList>
#include <QUrl>
#include <vector>

class QWidget;

// The tool's colours as the pictures of its windows show them, written out here so that a
// wrong colour in the code shows as wrong pixels.
inline const QColor kPurple(160, 32, 240);      // button faces, the filled progress
inline const QColor kNearWhite(255, 250, 250);  // texts, the unfilled progress
inline const QColor kBlack(0, 0, 0);            // the main dialog's background

// The widget as it paints now, one pixel per pixel, without alpha.
QImage Grab(QWidget* widget);

// Shows window and makes it the active window, so that focus changes are real.
bool ShowActive(QWidget* window);

// The smallest rectangle holding every pixel of image whose colour is in none of background.
QRect InkBounds(const QImage& image, const std::vector<QColor>& background);

// Number of pixels of image in rect with exactly that colour.
int CountColour(const QImage& image, const QRect& rect, const QColor& colour);

// Catches what QDesktopServices::openUrl would hand to the desktop, while it lives: web
// addresses, and those of the schemes a link must not open (file, ftp, mailto, javascript,
// none).
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  UrlCatcher();
  ~UrlCatcher() override;
  std::vector<QUrl> opened;

 public slots:
  void Open(const QUrl& url) { opened.push_back(url); }
};
