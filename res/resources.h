// The tool's resources: ids of its pictures and strings, where the pictures lie in the
// compiled resources, the pictures for a device pixel ratio, and the string table. The dialog
// templates live with the dialogs, in controls/.
#pragma once

#include <QPixmap>
#include <QString>

// Registers the compiled pictures with Qt. Resources linked from a static library stay
// unknown until this runs; call it before anything loads ":/res/...". Cheap after the first
// call.
void InitZavResources();

namespace res {

// Pictures.
inline constexpr int kIconApp = 128;           // 100 x 100, 32 bits per pixel
inline constexpr int kBitmapLogo = 131;        // 72 x 66, 24 bits per pixel
inline constexpr int kBitmapUpgradeTip = 136;  // 399 x 215, 24 bits per pixel, each
inline constexpr int kBitmapError = 139;
inline constexpr int kBitmapSuccess = 140;

// Strings.
inline constexpr int kStringAboutBox = 101;
inline constexpr char16_t kAboutBoxText[] = u"关于 Zav(&A)...";  // the About menu entry

// Path of a picture in the compiled resources (":/res/bitmap_131.bmp"); empty for an id that
// names no picture. Each picture has a drawing at twice the size beside it, "<name>@2x.<ext>".
QString PicturePath(int id);

// The picture for a device pixel ratio: above 1 the drawing at twice the size, with device
// pixel ratio 2 (the same size in device-independent pixels); null for an id that names none.
QPixmap LoadPicture(int id, qreal devicePixelRatio);

// Text of a string-table entry; empty for an id that names none.
QString LoadResString(int id);

}  // namespace res
