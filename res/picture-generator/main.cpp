// Draws the tool's pictures: the application icon, the logo of the main dialog and the three
// backgrounds of the notice dialogs. The build runs it, so the pictures are remade from this
// file alone; nothing it draws is kept in the repository.
//
//   zav_picture_generator <output folder>
//
// writes icon_128.png (100 x 100, RGBA), bitmap_131.bmp (72 x 66), bitmap_136.bmp,
// bitmap_139.bmp and bitmap_140.bmp (399 x 215), the bitmaps 24 bits per pixel; each also as
// "<name>@2x.<ext>" at twice the size for screens of device pixel ratio 2; and the desktop
// icon as hicolor_<n>.png, n x n pixels, for the icon theme's sizes.
// Only shapes are drawn, no text, so the result does not depend on installed fonts. Everything
// is drawn in the 1x picture's coordinates, scaled: a line one pixel wide at 1x is two at 2x.
#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRadialGradient>
#include <QString>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>

namespace {

constexpr int kGroundWidth = 399;
constexpr int kGroundHeight = 215;
const QColor kPurple(160, 32, 240);

// A small fixed-seed generator: the same pictures on every build.
class Dice {
 public:
  explicit Dice(std::uint32_t seed) : state_(seed) {}
  double Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<double>(state_ >> 8) / static_cast<double>(1u << 24);
  }

 private:
  std::uint32_t state_;
};

// A regular hexagon around centre; pointy top when pointyTop, flat top otherwise.
QPainterPath Hexagon(QPointF centre, double radius, bool pointyTop) {
  QPainterPath path;
  for (int i = 0; i < 6; ++i) {
    const double angle = std::numbers::pi / 3 * i + (pointyTop ? std::numbers::pi / 6 : 0.0);
    const QPointF corner(centre.x() + radius * std::cos(angle),
                         centre.y() + radius * std::sin(angle));
    if (i == 0) {
      path.moveTo(corner);
    } else {
      path.lineTo(corner);
    }
  }
  path.closeSubpath();
  return path;
}

// A honeycomb of faint purple cells that fades out with the distance from corner.
void PaintHoneycomb(QPainter& p, QPointF corner, double reach, std::uint32_t seed) {
  constexpr double kRadius = 13.0;
  const double dx = kRadius * 1.5;
  const double dy = kRadius * std::sqrt(3.0);
  Dice dice(seed);
  for (int col = -1; col * dx < kGroundWidth + dx; ++col) {
    for (int row = -1; row * dy < kGroundHeight + dy; ++row) {
      const QPointF centre(col * dx, row * dy + ((col & 1) ? dy / 2 : 0.0));
      const double distance = std::hypot(centre.x() - corner.x(), centre.y() - corner.y());
      const double strength = 1.0 - distance / reach;
      const double roll = dice.Next();
      if (strength <= 0)
        continue;
      // Cells thin out towards the edge of the cluster.
      if (roll > 0.35 + 0.65 * strength)
        continue;
      const QPainterPath cell = Hexagon(centre, kRadius - 1.5, false);
      QColor line = kPurple;
      line.setAlphaF(0.10 + 0.30 * strength);
      p.setPen(QPen(line, 1.0));
      QColor fill = kPurple;
      fill.setAlphaF(roll < 0.25 * strength ? 0.05 + 0.16 * strength : 0.0);
      p.setBrush(fill);
      p.drawPath(cell);
    }
  }
}

// An image of `size` pixels at 1x, `scale` times as large, and a painter on it that draws in
// the 1x coordinates.
struct Canvas {
  Canvas(int width, int height, double scale, QImage::Format format)
      : image(qRound(width * scale), qRound(height * scale), format), area(0, 0, width, height) {}
  QImage image;
  QRect area;  // the whole picture, in 1x coordinates
};

void Begin(QPainter& p, QImage& image, double scale) {
  p.begin(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(scale, scale);
}

// The dark charcoal ground shared by the notices, hexagons in the top-left and bottom-right.
QImage Ground(double scale) {
  Canvas canvas(kGroundWidth, kGroundHeight, scale, QImage::Format_RGB32);
  QPainter p;
  Begin(p, canvas.image, scale);
  QLinearGradient shade(0, 0, 0, kGroundHeight);
  shade.setColorAt(0.0, QColor(40, 41, 47));
  shade.setColorAt(1.0, QColor(26, 27, 31));
  p.fillRect(canvas.area, shade);
  // A soft light behind the symbol and the message.
  QRadialGradient light(QPointF(kGroundWidth / 2.0, 70), 190);
  light.setColorAt(0.0, QColor(255, 255, 255, 14));
  light.setColorAt(1.0, QColor(255, 255, 255, 0));
  p.fillRect(canvas.area, light);
  PaintHoneycomb(p, QPointF(0, 0), 150, 7);
  PaintHoneycomb(p, QPointF(kGroundWidth, kGroundHeight), 150, 11);
  // A thin purple accent line at the foot of the picture.
  QLinearGradient accent(0, 0, kGroundWidth, 0);
  accent.setColorAt(0.0, QColor(160, 32, 240, 0));
  accent.setColorAt(0.5, QColor(160, 32, 240, 120));
  accent.setColorAt(1.0, QColor(160, 32, 240, 0));
  p.fillRect(QRectF(40, kGroundHeight - 2, kGroundWidth - 80, 1), accent);
  p.end();
  return canvas.image;
}

constexpr QPointF kBadgeCentre(kGroundWidth / 2.0, 52);
constexpr double kBadgeRadius = 27;

void PaintGlow(QPainter& p, QPointF centre, double radius, QColor colour) {
  QRadialGradient glow(centre, radius + 14);
  QColor inner = colour;
  inner.setAlpha(90);
  QColor outer = colour;
  outer.setAlpha(0);
  glow.setColorAt(radius / (radius + 14), inner);
  glow.setColorAt(1.0, outer);
  p.setPen(Qt::NoPen);
  p.setBrush(glow);
  p.drawEllipse(centre, radius + 14, radius + 14);
}

// Ground with a dark red disc holding a red exclamation mark.
QImage ErrorPicture(double scale) {
  QImage image = Ground(scale);
  QPainter p;
  Begin(p, image, scale);
  const QPointF c = kBadgeCentre;
  PaintGlow(p, c, kBadgeRadius, QColor(200, 30, 40));
  QRadialGradient disc(c - QPointF(6, 8), kBadgeRadius * 1.4);
  disc.setColorAt(0.0, QColor(112, 22, 28));
  disc.setColorAt(1.0, QColor(58, 9, 13));
  p.setBrush(disc);
  p.setPen(QPen(QColor(190, 36, 46), 2.0));
  p.drawEllipse(c, kBadgeRadius, kBadgeRadius);
  const QColor mark(255, 64, 72);
  p.setPen(QPen(mark, 6.0, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(c.x(), c.y() - 14), QPointF(c.x(), c.y() + 3));
  p.setPen(Qt::NoPen);
  p.setBrush(mark);
  p.drawEllipse(QPointF(c.x(), c.y() + 13), 3.6, 3.6);
  return image;
}

// Ground with a red disc holding a white tick.
QImage SuccessPicture(double scale) {
  QImage image = Ground(scale);
  QPainter p;
  Begin(p, image, scale);
  const QPointF c = kBadgeCentre;
  PaintGlow(p, c, kBadgeRadius, QColor(230, 50, 55));
  QRadialGradient disc(c - QPointF(7, 9), kBadgeRadius * 1.5);
  disc.setColorAt(0.0, QColor(244, 78, 72));
  disc.setColorAt(1.0, QColor(186, 26, 34));
  p.setBrush(disc);
  p.setPen(QPen(QColor(255, 110, 100), 1.5));
  p.drawEllipse(c, kBadgeRadius, kBadgeRadius);
  QPainterPath tick;
  tick.moveTo(c.x() - 12, c.y() + 1);
  tick.lineTo(c.x() - 4, c.y() + 9);
  tick.lineTo(c.x() + 13, c.y() - 9);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(Qt::white, 5.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(tick);
  return image;
}

// The Marlo mark: a purple hexagon holding a white "M" drawn as one stroke.
void PaintMark(QPainter& p, QPointF c, double radius) {
  QLinearGradient edge(c.x(), c.y() - radius, c.x(), c.y() + radius);
  edge.setColorAt(0.0, QColor(196, 96, 255));
  edge.setColorAt(1.0, QColor(128, 20, 206));
  QRadialGradient inside(c - QPointF(0, radius * 0.4), radius * 1.3);
  inside.setColorAt(0.0, QColor(52, 26, 78));
  inside.setColorAt(1.0, QColor(18, 12, 28));
  p.setBrush(inside);
  p.setPen(QPen(QBrush(edge), radius * 0.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(Hexagon(c, radius, true));
  const double s = radius / 30.0;
  QPainterPath m;
  m.moveTo(c.x() - 13 * s, c.y() + 11 * s);
  m.lineTo(c.x() - 13 * s, c.y() - 10 * s);
  m.lineTo(c.x(), c.y() + 3 * s);
  m.lineTo(c.x() + 13 * s, c.y() - 10 * s);
  m.lineTo(c.x() + 13 * s, c.y() + 11 * s);
  QLinearGradient ink(c.x(), c.y() - 10 * s, c.x(), c.y() + 11 * s);
  ink.setColorAt(0.0, Qt::white);
  ink.setColorAt(1.0, QColor(222, 204, 255));
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QBrush(ink), 5.0 * s, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(m);
}

// The logo of the main dialog, on the dialog's black.
QImage Logo(double scale) {
  Canvas canvas(72, 66, scale, QImage::Format_RGB32);
  canvas.image.fill(Qt::black);
  QPainter p;
  Begin(p, canvas.image, scale);
  PaintGlow(p, QPointF(36, 33), 22, kPurple);
  PaintMark(p, QPointF(36, 33), 29);
  p.end();
  return canvas.image;
}

// The application icon: the mark on a rounded charcoal tile, transparent around it.
QImage Icon(double scale) {
  Canvas canvas(100, 100, scale, QImage::Format_ARGB32);
  canvas.image.fill(Qt::transparent);
  QPainter p;
  Begin(p, canvas.image, scale);
  const QRectF tile(4, 4, 92, 92);
  QLinearGradient shade(0, tile.top(), 0, tile.bottom());
  shade.setColorAt(0.0, QColor(50, 51, 58));
  shade.setColorAt(1.0, QColor(20, 21, 25));
  p.setPen(QPen(QColor(255, 255, 255, 28), 1.0));
  p.setBrush(shade);
  p.drawRoundedRect(tile, 20, 20);
  p.setClipPath([&] {
    QPainterPath clip;
    clip.addRoundedRect(tile, 20, 20);
    return clip;
  }());
  PaintGlow(p, QPointF(50, 50), 28, kPurple);
  PaintMark(p, QPointF(50, 50), 36);
  p.end();
  return canvas.image;
}

bool Save(const QImage& image, const QDir& folder, const std::string& name, bool opaque) {
  const QString path = folder.filePath(QString::fromStdString(name));
  // Bitmaps go out without alpha, 24 bits per pixel; the icon keeps its alpha.
  const QImage out = opaque ? image.convertToFormat(QImage::Format_RGB888) : image;
  if (!out.save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  if (!folder.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  const struct {
    const char* name;
    const char* ext;
    QImage (*draw)(double scale);
    bool opaque;
  } pictures[] = {{"icon_128", ".png", Icon, false},
                  {"bitmap_131", ".bmp", Logo, true},
                  {"bitmap_136", ".bmp", Ground, true},
                  {"bitmap_139", ".bmp", ErrorPicture, true},
                  {"bitmap_140", ".bmp", SuccessPicture, true}};
  bool ok = true;
  for (const auto& picture : pictures) {
    ok = ok &&
         Save(picture.draw(1.0), folder, std::string(picture.name) + picture.ext, picture.opaque);
    ok = ok && Save(picture.draw(2.0), folder, std::string(picture.name) + "@2x" + picture.ext,
                    picture.opaque);
  }
  for (const int size : {16, 24, 32, 48, 64, 128, 256, 512})
    ok = ok && Save(Icon(size / 100.0), folder, "hicolor_" + std::to_string(size) + ".png", false);
  return ok ? 0 : 1;
}
