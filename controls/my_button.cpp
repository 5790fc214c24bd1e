#include "controls/my_button.h"

#include <QPainter>

#include "controls/palette.h"

CMyButton::CMyButton(QWidget* parent) : QPushButton(parent) {}

void CMyButton::SetOwnerDraw(bool ownerDraw) {
  ownerDraw_ = ownerDraw;
  paintedOnce_ = false;
  update();
}

bool CMyButton::Painted::SameFace(const Painted& other) const {
  return down == other.down && enabled == other.enabled && text == other.text &&
         size == other.size && text_colour == other.text_colour && pressed == other.pressed &&
         normal == other.normal;
}

// The platform tells an owner-drawn button why it paints; Qt does not, so the reason is read
// from what changed since the last paint: only the focus means a focus redraw, a change of
// the pressed state a selection redraw, anything else (first paint, exposure, new caption or
// colours) a whole redraw.
unsigned CMyButton::NextAction(const Painted& now) const {
  if (!paintedOnce_)
    return ODA_DRAWENTIRE;
  if (now.focus != last_.focus && now.SameFace(last_))
    return ODA_FOCUS;
  Painted downOnly = last_;
  downOnly.down = now.down;
  if (now.down != last_.down && now.SameFace(downOnly))
    return ODA_SELECT;
  return ODA_DRAWENTIRE;
}

void CMyButton::paintEvent(QPaintEvent* event) {
  if (!ownerDraw_) {
    QPushButton::paintEvent(event);
    return;
  }
  const Painted now{isDown(), hasFocus(), isEnabled(),  text(),
                    size(),   m_clrText,  m_clrPressed, m_clrNormal};
  unsigned state = 0;
  if (now.down)
    state |= ODS_SELECTED;
  if (now.focus)
    state |= ODS_FOCUS;
  if (!now.enabled)
    state |= ODS_DISABLED;
  QPainter dc(this);
  DrawItem({&dc, rect(), state, NextAction(now)});
  last_ = now;
  paintedOnce_ = true;
}

void CMyButton::DrawItem(const DrawItemStruct& item) {
  QPainter& dc = *item.pDC;
  dc.save();
  const QString caption = text().left(kMaxCaption);
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  dc.fillRect(item.rcItem, pressed ? m_clrPressed : m_clrNormal);

  dc.setPen(m_clrText);
  dc.drawText(item.rcItem, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, caption);

  // Focus and disabled bits are not looked at: no focus rectangle, no greyed look.
  if (pressed && (item.itemAction == ODA_DRAWENTIRE || item.itemAction == ODA_SELECT)) {
    const QColor frame(255 - m_clrNormal.red(), 255 - m_clrNormal.green(),
                       255 - m_clrNormal.blue());
    const QRect& r = item.rcItem;
    dc.fillRect(QRect(r.left(), r.top(), r.width(), 1), frame);
    dc.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), frame);
    dc.fillRect(QRect(r.left(), r.top(), 1, r.height()), frame);
    dc.fillRect(QRect(r.right(), r.top(), 1, r.height()), frame);
  }
  dc.restore();
}

void MakeToolButton(CMyButton& button) {
  button.SetOwnerDraw();
  button.m_clrText = palette::kNearWhite;
  button.m_clrPressed = palette::kPurple;
  button.m_clrNormal = palette::kPurple;
}
