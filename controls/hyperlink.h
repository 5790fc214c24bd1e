#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>

class QPainter;

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

  // The fonts the drawing uses, and what it has made of them so far.
  const QFont& LinkFont() const { return m_fontNormal; }
  const QFont& UnderlinedFont() const { return m_fontUnderline; }
  bool HasTakenFont() const { return m_bFontReady; }            // the first paint took its font
  bool HasUnderlinedFont() const { return m_bUnderlineReady; }  // made from LinkFont
  const QWidget* PaintedParent() const { return m_pParent; }    // parent at the last paint

  // Link-button state read by the drawing, set by the owner.
  AlignStyle m_nAlignStyle = ALIGN_LEFT;
  bool m_bAlwaysUnderlineText = false;
  bool m_bMultilineText = false;
  bool m_bVisited = false;
  bool m_bUseParentFont = true;  // the first paint takes the parent's font
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
  QWidget* m_pParent = nullptr;  // non-null once painted
  QFont m_fontNormal;
  QFont m_fontUnderline;
  bool m_bFontReady = false;
  bool m_bUnderlineReady = false;
  bool m_bHover = false;
  QString url_;
};
