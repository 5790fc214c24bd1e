#include "controls/my_progress_bar.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <cstdint>

CMyProgressBar::CMyProgressBar(QWidget* parent) : QProgressBar(parent) {
  // A progress control starts at its low end; QProgressBar starts below it.
  setRange(0, 100);
  setValue(0);
}

int CMyProgressBar::SetPos(int pos) {
  const int previous = value();
  setValue(std::clamp(pos, minimum(), maximum()));
  return previous;
}

void CMyProgressBar::SetRange(int lo, int hi) {
  const int pos = value();
  setRange(lo, hi);
  setValue(std::clamp(pos, minimum(), maximum()));
}

void CMyProgressBar::GetRange(int& lo, int& hi) const {
  lo = minimum();
  hi = maximum();
}

void CMyProgressBar::paintEvent(QPaintEvent*) {
  QPainter dc(this);
  if (contentsMargins() != QMargins()) {
    // The window border lies outside the client area.
    dc.fillRect(rect(), Qt::black);
  }
  const QRect client = contentsRect();
  dc.setClipRect(client);
  dc.translate(client.topLeft());

  const int pos = GetPos();
  const QString text = QString::asprintf("%d%%", pos);
  const int W = client.width();
  const int H = client.height();
  // Nothing is selected into the paint context: the text uses the default font, not the
  // dialog's.
  const QFont font = QApplication::font();
  const QFontMetrics metrics(font);
  const int cx = metrics.horizontalAdvance(text);
  const int cy = metrics.height();
  const int x = (W - cx) / 2;
  const int y = (H - cy) / 2;

  int lo = 0;
  int hi = 0;
  GetRange(lo, hi);
  std::int64_t fill = W;
  // The test is against 100, not against the range's top: with a range wider than the bar the
  // truncated unit is 0 and the bar stays empty until the position reaches 100.
  if (pos < 100) {
    const std::int64_t span = static_cast<std::int64_t>(hi) - lo;
    // An empty range has no pixels per unit.
    const std::int64_t unit =
        span > 0 ? static_cast<std::int64_t>(static_cast<double>(W) / span) : 0;
    fill = unit * pos;
  }
  const int filled = static_cast<int>(std::clamp<std::int64_t>(fill, 0, W));
  dc.fillRect(QRect(0, 0, filled, H), m_clrBar);
  dc.fillRect(QRect(filled, 0, W - filled, H), m_clrBack);

  dc.setFont(font);
  dc.setPen(m_clrText);
  dc.drawText(x, y + metrics.ascent(), text);
}
