#pragma once

#include <QColor>
#include <QProgressBar>

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
