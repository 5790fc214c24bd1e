#include "controls/dialog_units.h"

#include <QAbstractButton>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QPixmap>
#include <QStringList>
#include <QVariant>
#include <cstdint>

#include "res/resources.h"

namespace {

constexpr char kAppliedProperty[] = "zavTemplateApplied";
constexpr int kSystemIconSize = 32;

// a * b / c rounded to nearest, halves away from zero.
int MulDiv(int a, int b, int c) {
  const std::int64_t product = static_cast<std::int64_t>(a) * b;
  const std::int64_t half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : -((-product + half) / c));
}

}  // namespace

QFont DialogTemplateFont() {
  QFont font;
  font.setFamilies({QStringLiteral("思源黑体 CN Normal"), QStringLiteral("Noto Sans CJK SC")});
  font.setPointSize(9);
  font.setWeight(static_cast<QFont::Weight>(350));
  font.setItalic(false);
  return font;
}

DialogBaseUnits DialogBaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(width / 26 + 1) / 2, metrics.height()};
}

int DialogUnitsToPixelsX(int units, DialogBaseUnits base) {
  return MulDiv(units, base.cx, 4);
}

int DialogUnitsToPixelsY(int units, DialogBaseUnits base) {
  return MulDiv(units, base.cy, 8);
}

QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base) {
  return {DialogUnitsToPixelsX(units.x(), base), DialogUnitsToPixelsY(units.y(), base),
          DialogUnitsToPixelsX(units.width(), base), DialogUnitsToPixelsY(units.height(), base)};
}

QSize DialogUnitsToPixels(const QSize& units, DialogBaseUnits base) {
  return {DialogUnitsToPixelsX(units.width(), base), DialogUnitsToPixelsY(units.height(), base)};
}

void ApplyDialogTemplate(QWidget* dialog) {
  if (dialog == nullptr || dialog->property(kAppliedProperty).toBool())
    return;
  dialog->setProperty(kAppliedProperty, true);
  dialog->setFont(DialogTemplateFont());
  const DialogBaseUnits base = DialogBaseUnitsOf(dialog->font());
  const auto children = dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (QWidget* child : children) {
    QRect geometry = DialogUnitsToPixels(child->geometry(), base);
    auto* label = qobject_cast<QLabel*>(child);
    if (const int id = child->property("picture").toInt(); label != nullptr && id != 0) {
      QPixmap picture = res::LoadPicture(id, dialog->devicePixelRatioF());
      if (child->property("iconStatic").toBool()) {
        const qreal ratio = picture.devicePixelRatio();
        picture = picture.scaled(QSize(kSystemIconSize, kSystemIconSize) * ratio,
                                 Qt::KeepAspectRatio, Qt::SmoothTransformation);
        picture.setDevicePixelRatio(ratio);
      }
      label->setPixmap(picture);
      geometry.setSize(picture.deviceIndependentSize().toSize());
    }
    if (child->property("border").toBool())
      child->setContentsMargins(1, 1, 1, 1);
    // A right-aligned check or radio button has its indicator at the right of its box.
    if (child->property("rightButton").toBool())
      child->setLayoutDirection(Qt::RightToLeft);
    child->setGeometry(geometry);
  }
  dialog->setFixedSize(DialogUnitsToPixels(dialog->size(), base));
  // OK and Cancel end the dialog unless its class handles them itself.
  if (auto* box = qobject_cast<QDialog*>(dialog)) {
    if (auto* ok = DialogItem<QAbstractButton>(box, 1)) {
      QObject::connect(ok, &QAbstractButton::clicked, box, &QDialog::accept);
    }
    if (auto* cancel = DialogItem<QAbstractButton>(box, 2)) {
      QObject::connect(cancel, &QAbstractButton::clicked, box, &QDialog::reject);
    }
  }
}

int ControlId(const QWidget* control) {
  if (control == nullptr)
    return kNoControlId;
  const QString name = control->objectName();
  if (name == QLatin1String("IDOK"))
    return 1;
  if (name == QLatin1String("IDCANCEL"))
    return 2;
  if (!name.startsWith(QLatin1String("IDC_")))
    return kNoControlId;
  bool ok = false;
  const int id = name.mid(4).toInt(&ok);
  return ok ? id : kNoControlId;
}

QString ControlName(int id) {
  if (id == 1)
    return QStringLiteral("IDOK");
  if (id == 2)
    return QStringLiteral("IDCANCEL");
  return QStringLiteral("IDC_%1").arg(id);
}
