// Dialog templates: the font they name, dialog units and control ids.
//
// A template (controls/templates/*.ui, compiled into "controls/ui_<name>_<id>.h") gives every
// geometry in dialog units. After setupUi, ApplyDialogTemplate sets the template font on the dialog
// and turns the geometries into pixels from that font's base units, the way the platform the
// templates come from does it:
//   base width  = width of "A".."Z" followed by "a".."z", divided by 52, rounded
//   base height = the font's height
//   x and widths  in pixels = dialog units * base width / 4, rounded to nearest
//   y and heights in pixels = dialog units * base height / 8, rounded to nearest
// The template's own size is the size of the dialog's client area.
//
// Control ids are object names: "IDOK" is id 1, "IDCANCEL" id 2, "IDC_<id>" any other id;
// controls without an id are "IDC_STATIC_<what>". DialogItem finds a control by its id:
//
//   Ui::Template102 ui;
//   ui.setupUi(this);
//   ApplyDialogTemplate(this);
//   auto* version = DialogItem<QLabel>(this, 1026);  // the same widget as ui.IDC_1026
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

// The templates, by id.
inline constexpr int kTemplateAbout = 100;
inline constexpr int kTemplateMain = 102;
inline constexpr int kTemplateUpgradeTip = 132;
inline constexpr int kTemplateError = 133;
inline constexpr int kTemplateSuccess = 134;

// "思源黑体 CN Normal", 9 points, weight 350; where that face is missing, "Noto Sans CJK SC",
// named so that Chinese text is not shown with another language's glyph forms.
QFont DialogTemplateFont();

struct DialogBaseUnits {
  int cx = 0;  // base width in pixels
  int cy = 0;  // base height in pixels
};
DialogBaseUnits DialogBaseUnitsOf(const QFont& font);

int DialogUnitsToPixelsX(int units, DialogBaseUnits base);
int DialogUnitsToPixelsY(int units, DialogBaseUnits base);
QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base);
QSize DialogUnitsToPixels(const QSize& units, DialogBaseUnits base);

// Sets the template font on dialog, converts the geometry of each of its direct children and
// its own size from dialog units to pixels, and fixes that size (a modal frame does not
// resize). Also does what the platform does for template styles: picture statics (labels with
// the property "picture", the picture's id) show the picture for the dialog's device pixel
// ratio and take its size, icon statics (property "iconStatic") show it at 32 x 32, controls
// with the "border" property get a 1-pixel frame as contents margins, and buttons with the
// "rightButton" property (a right-aligned radio or check box) their indicator at the right of
// their box.
// In a QDialog, a click on IDOK accepts it and one on IDCANCEL rejects it, as the platform's
// default OK and Cancel handling does. Runs once per dialog; later calls change nothing.
void ApplyDialogTemplate(QWidget* dialog);

inline constexpr int kNoControlId = -1;
int ControlId(const QWidget* control);  // kNoControlId for a name that carries no id
QString ControlName(int id);            // "IDOK", "IDCANCEL", "IDC_<id>"

// The direct child of dialog with control id id that is a T, or null.
template <typename T = QWidget>
T* DialogItem(const QWidget* dialog, int id) {
  return dialog->findChild<T*>(ControlName(id), Qt::FindDirectChildrenOnly);
}
