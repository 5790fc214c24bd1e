#include "res/resources.h"

#include <QtGlobal>
#include <mutex>

// Q_INIT_RESOURCE declares a function of the global namespace: it must not sit in one.
static void RegisterCompiledResources() {
  Q_INIT_RESOURCE(zav_res);
}

void InitZavResources() {
  static std::once_flag once;
  std::call_once(once, RegisterCompiledResources);
}

namespace res {

QString PicturePath(int id) {
  switch (id) {
    case kIconApp:
      return QStringLiteral(":/res/icon_128.png");
    case kBitmapLogo:
    case kBitmapUpgradeTip:
    case kBitmapError:
    case kBitmapSuccess:
      return QStringLiteral(":/res/bitmap_%1.bmp").arg(id);
    default:
      return {};
  }
}

QPixmap LoadPicture(int id, qreal devicePixelRatio) {
  QString path = PicturePath(id);
  if (path.isEmpty())
    return {};
  InitZavResources();
  const bool twice = devicePixelRatio > 1.0;
  if (twice)
    path.insert(path.lastIndexOf(QLatin1Char('.')), QLatin1String("@2x"));
  QPixmap picture(path);
  picture.setDevicePixelRatio(twice ? 2.0 : 1.0);
  return picture;
}

QString LoadResString(int id) {
  if (id == kStringAboutBox)
    return QString::fromUtf16(kAboutBoxText);
  return {};
}

}  // namespace res
