#include "controls/notice_dialog.h"

#include <QPainter>
#include <QPalette>

#include "controls/my_button.h"
#include "controls/palette.h"
#include "res/resources.h"

namespace {

// The notices paint this rectangle with their picture; it reaches past their edges, so only
// its top and left outline lie inside the client area.
constexpr QRect kPaintedArea(0, 0, 790, 650);

}  // namespace

NoticeDialog::NoticeDialog(QWidget* parent, int bitmap) : TemplateDialog(parent), bitmap_(bitmap) {}

void NoticeDialog::OnInitDialog() {
  if (m_btnOk == nullptr)
    return;
  MakeToolButton(*m_btnOk);
}

void NoticeDialog::paintEvent(QPaintEvent*) {
  QPainter dc(this);
  // Loaded for each paint, as the pattern brush is made for each paint.
  dc.drawTiledPixmap(kPaintedArea, res::LoadPicture(bitmap_, devicePixelRatioF()));
  // The outline of the painted rectangle, in the default black pen.
  const QRect& r = kPaintedArea;
  dc.fillRect(QRect(r.left(), r.top(), r.width(), 1), Qt::black);
  dc.fillRect(QRect(r.left(), r.top(), 1, r.height()), Qt::black);
  dc.fillRect(QRect(r.right(), r.top(), 1, r.height()), Qt::black);
  dc.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), Qt::black);
}

void NoticeDialog::ColourMessage(QWidget* control) {
  if (control == nullptr)
    return;
  QPalette colours = control->palette();
  colours.setColor(QPalette::WindowText, palette::kNearWhite);
  control->setPalette(colours);
  control->setAutoFillBackground(false);
}
