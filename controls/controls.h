// The tool's own controls: the flat progress bar, the owner-drawn button, the link control
// and the clickable label. Colours and texts that an owner sets are public members written
// directly before the control is shown; there are no setters for them.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>

class QPainter;

// A progress bar drawn as two flat blocks, the filled part and the rest, with the position
// as "<pos>%" centred on the whole control. Position and range are the progress bar's own.
// The "border" style of a template (a 1-pixel frame outside the area the bar paints) is the
// widget's contents margins: ApplyDialogTemplate sets them, the frame is drawn in black.
class CMyProgressBar : public QProgressBar {
  Q_OBJECT
 public:
  explicit CMyProgressBar(QWidget* parent = nullptr);

  // Progress-control semantics: a position outside the range is clamped into it (QProgressBar
  // would ignore it); SetPos returns the previous position. A new range clamps the position.
  int SetPos(int pos);
  int GetPos() const { return value(); }
  void SetRange(int lo, int hi);
  void GetRange(int& lo, int& hi) const;

  QColor m_clrText{0, 0, 255};     // the percentage
  QColor m_clrBar{255, 255, 0};    // the filled part
  QColor m_clrBack{130, 100, 20};  // the unfilled part

 protected:
  void paintEvent(QPaintEvent* event) override;  // the whole client area, no off-screen buffer
};

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

// A link control: its text drawn in the link colours (normal, hovered, visited), underlined
// while hovered or when always-underline is set, in the parent's font from its first paint on.
// A click (mouse, Enter, or space, which acts as Enter) marks it visited and emits clicked();
// what the click opens is the owner's business (the control itself opens nothing).
class CHyperlink : public QAbstractButton {
  Q_OBJECT
 public:
  enum AlignStyle { ALIGN_LEFT, ALIGN_RIGHT, ALIGN_CENTER };

  explicit CHyperlink(QWidget* parent = nullptr);

  // Makes the link font: face (at most 31 characters are kept), height in pixels (0: the
  // default size), italic, weight 700 if bold else 400. The underlined copy is remade on
  // the next paint that needs it.
  void SetLinkFont(const QString& face, int height, bool italic, bool bold);

  // Resizes the control to its text plus 6 pixels on every side, keeping its top-left corner,
  // or centred on its old rectangle vertically and/or horizontally; returns the new size.
  virtual QSize SizeToContent(bool bVCenter = false, bool bHCenter = false);

  void SetURL(const QString& url) { url_ = url; }  // the address this link stands for
  QString GetURL() const { return url_; }

  bool IsHighlighted() const { return m_bHover; }  // the pointer is over the link

  QSize sizeHint() const override;

  // Link-button state read by the drawing.
  AlignStyle m_nAlignStyle = ALIGN_LEFT;
  bool m_bAlwaysUnderlineText = false;
  bool m_bMultilineText = false;
  bool m_bVisited = false;

  // The control's own state.
  QWidget* m_pParent = nullptr;  // parent at the last paint; non-null once painted
  QFont m_fontNormal;
  QFont m_fontUnderline;
  bool m_bFontReady = false;       // the first paint has taken the parent's font
  bool m_bUnderlineReady = false;  // m_fontUnderline matches m_fontNormal
  bool m_bUseParentFont = true;
  QColor m_clrLink;
  QColor m_clrLinkHover;
  QColor m_clrLinkVisited;

 protected:
  // Draws the link text into rect; state is not used.
  virtual void OnDraw(QPainter& dc, const QRect& rect, unsigned state);

  bool event(QEvent* event) override;  // space becomes Enter before anything sees the key
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  bool m_bHover = false;
  QString url_;
};

// A label with the "notify" style: a left click on it emits clicked().
class NotifyLabel : public QLabel {
  Q_OBJECT
 public:
  explicit NotifyLabel(QWidget* parent = nullptr);

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};
