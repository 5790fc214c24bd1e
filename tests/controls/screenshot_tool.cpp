#include "tests/controls/screenshot_tool.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTextLayout>
#include <QWidget>
#include <cstdio>

namespace {

constexpr int kTitleHeight = kScreenshotTitleHeight;

bool HasMissingGlyph(const QString& text, const QFont& font) {
  if (text.isEmpty())
    return false;
  QTextLayout layout(text, font);
  layout.beginLayout();
  while (layout.createLine().isValid()) {
  }
  layout.endLayout();
  for (const QGlyphRun& run : layout.glyphRuns()) {
    for (const quint32 glyph : run.glyphIndexes()) {
      if (glyph == 0)
        return true;
    }
  }
  return false;
}

QString ShownText(const QWidget* widget) {
  if (const auto* label = qobject_cast<const QLabel*>(widget))
    return label->text();
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
    return button->text();
  if (const auto* edit = qobject_cast<const QLineEdit*>(widget))
    return edit->text();
  return {};
}

}  // namespace

QStringList MissingGlyphs(const QWidget* window) {
  QStringList missing;
  if (HasMissingGlyph(window->windowTitle(), window->font())) {
    missing << QStringLiteral("title: ") + window->windowTitle();
  }
  for (const QWidget* child : window->findChildren<QWidget*>()) {
    if (!child->isVisibleTo(window))
      continue;
    const QString text = ShownText(child);
    if (HasMissingGlyph(text, child->font())) {
      missing << child->objectName() + QStringLiteral(": ") + text;
    }
  }
  return missing;
}

QImage TakeScreenshot(QWidget* window) {
  window->show();
  QApplication::processEvents();
  const QImage client = window->grab().toImage();
  // Drawn in device-independent pixels on an image of the window's device pixel ratio.
  const qreal ratio = client.devicePixelRatio();
  const QSize size = client.deviceIndependentSize().toSize() + QSize(0, kTitleHeight);
  QImage shot((QSizeF(size) * ratio).toSize(), QImage::Format_RGB32);
  shot.setDevicePixelRatio(ratio);
  shot.fill(QColor(45, 45, 48));
  QPainter p(&shot);
  QFont font = window->font();
  font.setBold(true);
  p.setFont(font);
  p.setPen(QColor(235, 235, 235));
  p.drawText(QRect(10, 0, size.width() - 40, kTitleHeight), Qt::AlignVCenter | Qt::AlignLeft,
             window->windowTitle());
  // The close box.
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(200, 200, 200), 1.5));
  const QPointF c(size.width() - 16, kTitleHeight / 2.0);
  p.drawLine(c + QPointF(-4, -4), c + QPointF(4, 4));
  p.drawLine(c + QPointF(-4, 4), c + QPointF(4, -4));
  p.drawImage(0, kTitleHeight, client);
  return shot;
}

int RunScreenshots(int argc, char** argv, const std::vector<Screenshot>& shots) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  if (!folder.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  int failures = 0;
  for (const Screenshot& shot : shots) {
    const std::unique_ptr<QWidget> window = shot.make();
    window->show();
    QApplication::processEvents();
    const QStringList missing = MissingGlyphs(window.get());
    if (!missing.isEmpty()) {
      std::fprintf(stderr, "%s: missing glyphs in %s\n", qPrintable(shot.name),
                   qPrintable(missing.join(QStringLiteral("; "))));
      ++failures;
      continue;
    }
    const qreal ratio = window->devicePixelRatioF();
    const QString suffix = ratio == 1.0 ? QString() : QStringLiteral("@%1x").arg(ratio);
    const QString path = folder.filePath(shot.name + suffix + QStringLiteral(".png"));
    if (!TakeScreenshot(window.get()).save(path)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      ++failures;
      continue;
    }
    std::printf("%s\n", qPrintable(path));
    window->close();
  }
  return failures == 0 ? 0 : 1;
}
