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

bool OnlyColours(const QImage& image, const QColor& a, const QColor& b) {
  return InkBounds(image, {a, b}).isNull();
}

}  // namespace

TEST(ProgressBar, FillsWholePixelsPerUnitAndTheFullWidthFromHundred) {
  CMyProgressBar bar;
  bar.resize(258, 24);
  // 258 / 100 truncates to 2 pixels per unit: 198 at 99, then a jump to 258 at 100.
  const struct {
    int pos;
    int fill;
  } cases[] = {{0, 0}, {1, 2}, {50, 100}, {99, 198}, {100, 258}};
  for (const auto& c : cases) {
    bar.SetPos(c.pos);
    EXPECT_EQ(FilledWidth(bar), c.fill) << "position " << c.pos;
    if (c.fill < 258) {
      EXPECT_EQ(Grab(&bar).pixelColor(257, 0), bar.m_clrBack) << "position " << c.pos;
    }
  }
}

TEST(ProgressBar, ComparesWithHundredNotWithTheTopOfTheRange) {
  CMyProgressBar narrow;  // narrower than its range: no pixels per unit
  narrow.resize(80, 24);
  narrow.SetPos(99);
  EXPECT_EQ(FilledWidth(narrow), 0);
  narrow.SetPos(100);
  EXPECT_EQ(FilledWidth(narrow), 80);

  CMyProgressBar wide;
  wide.resize(400, 24);
  wide.SetRange(0, 200);
  wide.SetPos(99);
  EXPECT_EQ(FilledWidth(wide), 198);
  wide.SetPos(100);  // half the range, yet full
  EXPECT_EQ(FilledWidth(wide), 400);

  CMyProgressBar empty_range;
  empty_range.resize(100, 24);
  empty_range.SetRange(5, 5);
  EXPECT_EQ(FilledWidth(empty_range), 0);
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
  EXPECT_TRUE(OnlyColours(Grab(&bar), kPurple, kNearWhite));

  bar.SetPos(80);  // 160 pixels: under the whole text
  const QImage image = Grab(&bar);
  const QRect ink = InkBounds(image, {kPurple, kNearWhite});
  ASSERT_FALSE(ink.isNull());
  EXPECT_LT(ink.right(), 160);
  EXPECT_GT(CountColour(image, QRect(100, 0, 60, 24), kNearWhite), 0) << "no solid text pixels";
}
