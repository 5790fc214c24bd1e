#include <gtest/gtest.h>

#include <QImage>

#include "controls/my_progress_bar.h"
#include "tests/controls/widget_test_util.h"

namespace {

// Width of the filled part: the run of the bar colour from the left along the top row, which
// the centred text never reaches.
int FilledWidth(CMyProgressBar& bar) {
  const QImage image = Grab(&bar);
  int x = 0;
  while (x < image.width() && image.pixelColor(x, 0) == bar.m_clrBar)
    ++x;
  return x;
}

}  // namespace

// The width over the range, truncated, is the pixels of a unit; from 100 on the bar is full,
// compared with 100, not with the top of the range: a bar narrower than its range stays empty
// until 100, one of range 0..200 is full at half of it; an empty range has no unit.
TEST(ProgressBar, FillsWholePixelsPerUnitAndTheFullWidthFromHundred) {
  const struct {
    int width, lo, hi, pos, fill;
  } cases[] = {{258, 0, 100, 0, 0},    {258, 0, 100, 1, 2},     {258, 0, 100, 50, 100},
               {258, 0, 100, 99, 198}, {258, 0, 100, 100, 258}, {80, 0, 100, 99, 0},
               {80, 0, 100, 100, 80},  {400, 0, 200, 99, 198},  {400, 0, 200, 100, 400},
               {100, 5, 5, 5, 0}};
  for (const auto& c : cases) {
    CMyProgressBar bar;
    bar.resize(c.width, 24);
    bar.SetRange(c.lo, c.hi);
    bar.SetPos(c.pos);
    EXPECT_EQ(FilledWidth(bar), c.fill) << "width " << c.width << ", position " << c.pos;
  }
}

TEST(ProgressBar, PositionAndRangeBehaveLikeAProgressControl) {
  CMyProgressBar bar;
  EXPECT_EQ(bar.GetPos(), 0);  // not below the range, as a bare QProgressBar starts
  EXPECT_EQ(bar.SetPos(40), 0);
  EXPECT_EQ(bar.SetPos(101), 40);
  EXPECT_EQ(bar.GetPos(), 100);  // clamped, so the workflow's final position fills the bar
  bar.SetRange(0, 50);
  EXPECT_EQ(bar.GetPos(), 50);
  int lo = -1;
  int hi = -1;
  bar.GetRange(lo, hi);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 50);
}

TEST(ProgressBar, TextIsCentredOnTheWholeControlNotOnTheFill) {
  CMyProgressBar bar;
  bar.resize(258, 24);
  bar.SetPos(20);  // fill ends at 40, far left of the middle
  const QRect ink = InkBounds(Grab(&bar), {bar.m_clrBar, bar.m_clrBack});
  ASSERT_FALSE(ink.isNull());
  const int left = ink.left();
  const int right = 257 - ink.right();
  EXPECT_LE(std::abs(left - right), 2) << "text spans " << ink.left() << ".." << ink.right();
  EXPECT_LE(std::abs((ink.top() + ink.bottom()) / 2 - 12), 3);
}

TEST(ProgressBar, WithTheMainDialogColoursTheTextShowsOnlyOverTheFill) {
  CMyProgressBar bar;
  bar.resize(258, 24);
  bar.m_clrText = kNearWhite;
  bar.m_clrBar = kPurple;
  bar.m_clrBack = kNearWhite;
  bar.SetPos(10);  // the fill stops short of the text
  EXPECT_TRUE(InkBounds(Grab(&bar), {kPurple, kNearWhite}).isNull());

  bar.SetPos(80);  // 160 pixels: under the whole text
  const QImage image = Grab(&bar);
  const QRect ink = InkBounds(image, {kPurple, kNearWhite});
  ASSERT_FALSE(ink.isNull());
  EXPECT_LT(ink.right(), 160);
  EXPECT_GT(CountColour(image, QRect(100, 0, 60, 24), kNearWhite), 0) << "no solid text pixels";
}
