#include "controls/hyperlink.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <algorithm>

namespace {

constexpr int kFaceLength = 31;    // a face name holds 32 characters with its terminator
constexpr int kContentMargin = 6;  // SizeToContent's margin on every side

}  // namespace

CHyperlink::CHyperlink(QWidget* parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  const QPalette palette = QApplication::palette();
  m_clrLink = palette.color(QPalette::Link);
  m_clrLinkVisited = palette.color(QPalette::LinkVisited);
  // The palette has no colour for a hovered link: a lighter shade of the link colour.
  m_clrLinkHover = m_clrLink.lighter(160);
  // The regular interface font until the first paint takes the parent's.
  const QFontInfo regular(QApplication::font());
  SetLinkFont(regular.family(), regular.pixelSize(), regular.italic(),
              regular.weight() > QFont::Normal);
  connect(this, &QAbstractButton::clicked, this, [this] {
    m_bVisited = true;
    update();
  });
}

void CHyperlink::SetLinkFont(const QString& face, int height, bool italic, bool bold) {
  QFont font;
  font.setFamilies({face.left(kFaceLength)});
  if (height != 0)
    font.setPixelSize(std::abs(height));
  font.setItalic(italic);
  font.setWeight(bold ? QFont::Bold : QFont::Normal);
  m_fontNormal = font;
  m_bUnderlineReady = false;
  if (m_pParent != nullptr)
    update();
}

void CHyperlink::OnDraw(QPainter& dc, const QRect& rect, unsigned /*state*/) {
  m_pParent = parentWidget();
  if (!m_bFontReady) {
    if (m_bUseParentFont && m_pParent != nullptr) {
      // The resolved face, not the requested list: the requested first choice may not exist.
      const QFontInfo parentFont(m_pParent->font());
      SetLinkFont(parentFont.family(), parentFont.pixelSize(), parentFont.italic(),
                  parentFont.weight() > QFont::Normal);
    }
    m_bFontReady = true;
  }

  const QFont* font = &m_fontNormal;
  if (m_bAlwaysUnderlineText || m_bHover) {
    if (!m_bUnderlineReady) {
      m_fontUnderline = m_fontNormal;
      m_fontUnderline.setUnderline(true);
      m_bUnderlineReady = true;
      if (m_pParent != nullptr)
        update();
    }
    font = &m_fontUnderline;
  }
  dc.save();
  dc.setFont(*font);
  dc.setPen(m_bHover ? m_clrLinkHover : m_bVisited ? m_clrLinkVisited : m_clrLink);

  const QString caption = text();
  if (m_bMultilineText) {
    dc.drawText(rect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextShowMnemonic,
                caption);
  } else {
    Qt::Alignment align = Qt::AlignLeft;
    if (m_nAlignStyle == ALIGN_RIGHT) {
      align = Qt::AlignRight;
    } else if (m_nAlignStyle == ALIGN_CENTER) {
      align = Qt::AlignHCenter;
    }
    const QString shown =
        QFontMetrics(*font).elidedText(caption, Qt::ElideRight, rect.width(), Qt::TextShowMnemonic);
    dc.drawText(rect, align | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, shown);
  }
  dc.restore();
}

QSize CHyperlink::SizeToContent(bool bVCenter, bool bHCenter) {
  const QFontMetrics metrics(m_fontNormal);
  const QString caption = text();
  QSize content;
  if (!icon().isNull()) {
    // Picture and text side by side.
    const QSize text_size = metrics.size(Qt::TextSingleLine | Qt::TextShowMnemonic, caption);
    content = QSize(iconSize().width() + kContentMargin + text_size.width(),
                    std::max(iconSize().height(), text_size.height()));
  } else if (m_bMultilineText) {
    content = metrics
                  .boundingRect(QRect(0, 0, std::max(width(), 1), 0xFFFF),
                                Qt::TextWordWrap | Qt::TextShowMnemonic, caption)
                  .size();
  } else {
    content = metrics.size(Qt::TextSingleLine | Qt::TextShowMnemonic, caption);
  }
  const QSize size = content + QSize(2 * kContentMargin, 2 * kContentMargin);
  if (!bVCenter && !bHCenter) {
    resize(size);
  } else {
    const QRect old = geometry();  // the client rectangle in the parent's coordinates
    const int dx = bHCenter ? (old.width() - size.width()) / 2 : 0;
    const int dy = bVCenter ? (old.height() - size.height()) / 2 : 0;
    setGeometry(old.left() + dx, old.top() + dy, size.width(), size.height());
  }
  return size;
}

QSize CHyperlink::sizeHint() const {
  return QFontMetrics(m_fontNormal).size(Qt::TextSingleLine | Qt::TextShowMnemonic, text()) +
         QSize(2 * kContentMargin, 2 * kContentMargin);
}

bool CHyperlink::event(QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::KeyPress || type == QEvent::KeyRelease || type == QEvent::ShortcutOverride) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Space) {
      QKeyEvent enter(type, Qt::Key_Return, key->modifiers(), QStringLiteral("\r"),
                      key->isAutoRepeat(), static_cast<quint16>(key->count()));
      const bool handled = QAbstractButton::event(&enter);
      event->setAccepted(enter.isAccepted());
      return handled;
    }
  }
  return QAbstractButton::event(event);
}

void CHyperlink::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    // Enter follows the link instead of reaching the dialog's default button.
    if (!event->isAutoRepeat())
      click();
    event->accept();
    return;
  }
  QAbstractButton::keyPressEvent(event);
}

void CHyperlink::paintEvent(QPaintEvent*) {
  QPainter dc(this);
  OnDraw(dc, rect(), 0);
  if (hasFocus()) {
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = rect().adjusted(1, 1, -1, -1);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &dc, this);
  }
}

void CHyperlink::enterEvent(QEnterEvent* event) {
  m_bHover = true;
  update();
  QAbstractButton::enterEvent(event);
}

void CHyperlink::leaveEvent(QEvent* event) {
  m_bHover = false;
  update();
  QAbstractButton::leaveEvent(event);
}
