#pragma once

#include <QColor>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>

class QPainter;

// A flat push button. With the owner-draw style it paints itself through DrawItem: the face
// in m_clrPressed while pressed and m_clrNormal otherwise, the caption centred on one line in
// m_clrText, and while pressed a 1-pixel frame in the inverse of m_clrNormal, except on a
// redraw that is only for a change of focus. Without the style it is an ordinary push button.
// Keyboard and mouse activation are the push button's.
class CMyButton : public QPushButton {
  Q_OBJECT
 public:
  // What a paint is for, as the paint request tells an owner-drawn button.
  enum DrawAction : unsigned { ODA_DRAWENTIRE = 0x1, ODA_SELECT = 0x2, ODA_FOCUS = 0x4 };
  // State bits of the button at the paint.
  enum DrawState : unsigned { ODS_SELECTED = 0x1, ODS_DISABLED = 0x4, ODS_FOCUS = 0x10 };
  struct DrawItemStruct {
    QPainter* pDC;        // handed back untouched: state saved and restored
    QRect rcItem;         // the whole button
    unsigned itemState;   // DrawState bits
    unsigned itemAction;  // one DrawAction
  };
  static constexpr int kMaxCaption = 511;  // longer captions are drawn cut to this length

  explicit CMyButton(QWidget* parent = nullptr);

  void SetOwnerDraw(bool ownerDraw = true);
  bool IsOwnerDraw() const { return ownerDraw_; }

  virtual void DrawItem(const DrawItemStruct& item);

  QColor m_clrText{0, 0, 0};     // caption, in both states
  QColor m_clrPressed{0, 0, 0};  // face while pressed
  QColor m_clrNormal{0, 0, 0};   // face when up; inverted, the pressed frame

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // What the last paint showed: a paint that differs from it only in focus is focus-only.
  struct Painted {
    bool down = false;
    bool focus = false;
    bool enabled = true;
    QString text;
    QSize size;
    QColor text_colour, pressed, normal;
    bool SameFace(const Painted& other) const;
  };
  unsigned NextAction(const Painted& now) const;

  bool ownerDraw_ = false;
  bool paintedOnce_ = false;
  Painted last_;
};

// Makes `button` the tool's flat purple button with a near-white caption, as the main dialog
// and the notices show it.
void MakeToolButton(CMyButton& button);
