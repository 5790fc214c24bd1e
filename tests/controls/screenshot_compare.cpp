// Compares each 2x screenshot in a folder with its 1x one:
//   - twice the size, and each 2x2 block of the 2x averages to (nearly) the 1x pixel: the same
//     window, laid out and coloured the same;
//   - where the 1x shows one of the tool's pictures, the 2x shows its 2x drawing pixel for
//     pixel, not the 1x picture scaled up;
//   - the notices' one-pixel line along the top and left edges is one device-independent pixel
//     (two device pixels) wide.
//
//   screenshot_compare <folder>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "res/resources.h"
#include "tests/controls/screenshot_tool.h"

namespace {

constexpr double kMeanDifferenceLimit = 4.0;  // per channel, out of 255
int failures = 0;

void Fail(const QString& name, const char* what) {
  std::printf("FAIL %s: %s\n", qPrintable(name), what);
  ++failures;
}

int Channel(QRgb c, int i) {
  return i == 0 ? qRed(c) : i == 1 ? qGreen(c) : qBlue(c);
}

// Mean absolute difference per channel between one and the block averages of two.
double MeanDifference(const QImage& one, const QImage& two) {
  double sum = 0;
  for (int y = 0; y < one.height(); ++y) {
    for (int x = 0; x < one.width(); ++x) {
      for (int i = 0; i < 3; ++i) {
        const int block =
            Channel(two.pixel(2 * x, 2 * y), i) + Channel(two.pixel(2 * x + 1, 2 * y), i) +
            Channel(two.pixel(2 * x, 2 * y + 1), i) + Channel(two.pixel(2 * x + 1, 2 * y + 1), i);
        sum += std::abs(block / 4.0 - Channel(one.pixel(x, y), i));
      }
    }
  }
  return sum / (3.0 * one.width() * one.height());
}

// Whether every device pixel of two over area (1x coordinates) is black.
bool AllBlack(const QImage& two, const QRect& area) {
  for (int y = 2 * area.top(); y < 2 * (area.bottom() + 1); ++y) {
    for (int x = 2 * area.left(); x < 2 * (area.right() + 1); ++x) {
      if ((two.pixel(x, y) & 0xFFFFFF) != 0)
        return false;
    }
  }
  return true;
}

QImage PictureImage(int id, qreal ratio) {
  return res::LoadPicture(id, ratio).toImage().convertToFormat(QImage::Format_RGB32);
}

// Whether shot shows part of picture, the picture's top-left corner lying at origin.
bool Shows(const QImage& shot, const QImage& picture, QPoint origin, const QRect& part) {
  for (int y = part.top(); y <= part.bottom(); ++y) {
    for (int x = part.left(); x <= part.right(); ++x) {
      if (shot.pixel(origin.x() + x, origin.y() + y) != picture.pixel(x, y))
        return false;
    }
  }
  return true;
}

// Where one shows picture whole, searched for within area; (-1, -1) when nowhere.
QPoint Find(const QImage& one, const QImage& picture, const QRect& area) {
  for (int y = area.top(); y + picture.height() <= area.bottom() + 1; ++y) {
    for (int x = area.left(); x + picture.width() <= area.right() + 1; ++x) {
      if (Shows(one, picture, QPoint(x, y), picture.rect()))
        return QPoint(x, y);
    }
  }
  return {-1, -1};
}

// one shows part of picture with its top-left corner at origin, and two the same part of the
// picture's 2x drawing at twice origin.
void ExpectPicture(const QString& name, const QImage& one, const QImage& two, int id, QPoint origin,
                   const QRect& part) {
  if (origin.x() < 0 || !Shows(one, PictureImage(id, 1), origin, part)) {
    Fail(name, "the 1x screenshot does not show the picture");
    return;
  }
  if (!Shows(two, PictureImage(id, 2), 2 * origin, QRect(2 * part.topLeft(), 2 * part.size())))
    Fail(name, "the 2x screenshot does not show the picture's 2x drawing");
}

void Compare(const QString& name, const QImage& one, const QImage& two) {
  if (two.size() != 2 * one.size()) {
    Fail(name, "the 2x screenshot is not twice the size");
    return;
  }
  const double mean = MeanDifference(one, two);
  std::printf("%s: mean difference %.2f\n", qPrintable(name), mean);
  if (mean > kMeanDifferenceLimit)
    Fail(name, "the 2x window differs from the 1x one");

  const QRect client(0, kScreenshotTitleHeight, one.width(), one.height() - kScreenshotTitleHeight);
  const int notice = name == QLatin1String("error_notice")     ? res::kBitmapError
                     : name == QLatin1String("success_notice") ? res::kBitmapSuccess
                     : name == QLatin1String("upgrade_tip")    ? res::kBitmapUpgradeTip
                                                               : 0;
  if (notice != 0) {
    if (!AllBlack(two, QRect(client.topLeft(), QSize(client.width(), 1))) ||
        !AllBlack(two, QRect(client.topLeft(), QSize(1, client.height()))))
      Fail(name, "the top or left line is not one pixel wide");
    // The picture from the client origin: a band inside the line, above every control.
    ExpectPicture(name, one, two, notice, client.topLeft(), QRect(1, 1, 300, 36));
  } else if (name.startsWith(QLatin1String("main_dialog"))) {
    const QImage logo = PictureImage(res::kBitmapLogo, 1);
    ExpectPicture(name, one, two, res::kBitmapLogo,
                  Find(one, logo, client.adjusted(0, 0, 0, -client.height() / 2)), logo.rect());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  int pairs = 0;
  for (const QString& file : folder.entryList({QStringLiteral("*@2x.png")}, QDir::Files)) {
    const QString name = file.chopped(int(sizeof("@2x.png")) - 1);
    const QImage one(folder.filePath(name + QStringLiteral(".png")));
    const QImage two(folder.filePath(file));
    if (one.isNull() || two.isNull()) {
      Fail(name, "cannot read the 1x or the 2x screenshot");
      continue;
    }
    Compare(name, one.convertToFormat(QImage::Format_RGB32),
            two.convertToFormat(QImage::Format_RGB32));
    ++pairs;
  }
  if (pairs == 0)
    Fail(folder.path(), "no pair of 1x and 2x screenshots");
  return failures == 0 ? 0 : 1;
}
