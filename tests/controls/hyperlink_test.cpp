#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include "controls/hyperlink.h"
#include "tests/controls/widget_test_util.h"

namespace {

const QColor kLink(200, 0, 0);
const QColor kHover(0, 150, 0);
const QColor kVisited(0, 0, 220);

enum class Ink { kNone, kNormal, kHovered, kVisitedLink };

// Which of the three test colours the text was drawn in, from its darkest pixel's hue.
Ink TextColour(const QImage& image, const QColor& background) {
  int best = 255 * 3 + 1;
  QColor darkest;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c == background)
        continue;
      const int sum = c.red() + c.green() + c.blue();
      if (sum < best) {
        best = sum;
        darkest = c;
      }
    }
  }
  if (!darkest.isValid())
    return Ink::kNone;
  if (darkest.red() > darkest.green() && darkest.red() > darkest.blue())
    return Ink::kNormal;
  if (darkest.green() > darkest.blue())
    return Ink::kHovered;
  return Ink::kVisitedLink;
}

// The longest horizontal run of non-background pixels in any row: an underline spans the text.
int LongestRun(const QImage& image, const QColor& background) {
  int longest = 0;
  for (int y = 0; y < image.height(); ++y) {
    int run = 0;
    for (int x = 0; x < image.width(); ++x) {
      run = image.pixelColor(x, y) == background ? 0 : run + 1;
      longest = std::max(longest, run);
    }
  }
  return longest;
}

struct LinkHost {
  QWidget window;
  CHyperlink* link = new CHyperlink(&window);
  LinkHost() {
    window.resize(300, 80);
    link->setGeometry(10, 10, 200, 30);
    link->m_clrLink = kLink;
    link->m_clrLinkHover = kHover;
    link->m_clrLinkVisited = kVisited;
  }
  QColor Background() { return Grab(link).pixelColor(link->width() - 1, 0); }
};

}  // namespace

// The first paint takes the parent's font, face, size and weight (350 is not bold), and keeps it.
TEST(Hyperlink, DrawsInTheParentsFontAsItWasAtTheFirstPaint) {
  QWidget parent;
  QFont font(QStringLiteral("Noto Sans CJK SC"));
  font.setPixelSize(30);
  font.setWeight(static_cast<QFont::Weight>(350));
  parent.setFont(font);
  CHyperlink inParent(&parent);
  CHyperlink given(&parent);
  given.m_bUseParentFont = false;
  given.SetLinkFont(QStringLiteral("Noto Sans CJK SC"), 30, false, false);
  CHyperlink own(&parent);
  own.m_bUseParentFont = false;
  for (CHyperlink* link : {&inParent, &given, &own}) {
    link->setText(QStringLiteral("点击下载"));
    link->resize(200, 40);
  }
  const QImage first = Grab(&inParent);
  EXPECT_EQ(first, Grab(&given));
  const QColor background = first.pixelColor(199, 0);
  EXPECT_LE(InkBounds(Grab(&own), {background}).height(), 16) << "not the application's font";

  font.setPixelSize(12);
  font.setBold(true);
  parent.setFont(font);
  EXPECT_EQ(Grab(&inParent), first);
}

TEST(Hyperlink, HoverUnderlinesInTheHoverColourAndLeavingShowsVisitedOrNormal) {
  LinkHost host;
  host.link->setText(QStringLiteral("iiiiiiiiiiii"));  // no horizontal strokes of its own
  const QColor background = host.Background();

  const QImage normal = Grab(host.link);
  EXPECT_EQ(TextColour(normal, background), Ink::kNormal);
  const int plain_run = LongestRun(normal, background);

  QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
  QApplication::sendEvent(host.link, &enter);
  const QImage hovered = Grab(host.link);
  EXPECT_EQ(TextColour(hovered, background), Ink::kHovered);
  EXPECT_GT(LongestRun(hovered, background), plain_run + 10) << "no underline";

  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(host.link, &leave);
  EXPECT_EQ(TextColour(Grab(host.link), background), Ink::kNormal);
  EXPECT_EQ(LongestRun(Grab(host.link), background), plain_run);

  host.link->click();
  EXPECT_TRUE(host.link->m_bVisited);
  EXPECT_EQ(TextColour(Grab(host.link), background), Ink::kVisitedLink);

  host.link->m_bAlwaysUnderlineText = true;
  EXPECT_GT(LongestRun(Grab(host.link), background), plain_run + 10);
}

// The first paint takes the parent's font and asks for one more paint with it; then the link
// stays still.
TEST(Hyperlink, TakingTheParentsFontRepaintsOnceAndThenSettles) {
  LinkHost host;
  host.link->setText(QStringLiteral("点击下载"));
  int paints = 0;
  struct Counter : QObject {
    int* count;
    explicit Counter(int* c) : count(c) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint)
        ++*count;
      return false;
    }
  } counter(&paints);
  host.link->installEventFilter(&counter);
  host.window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&host.window));
  QTest::qWait(100);
  EXPECT_EQ(paints, 2);
}

TEST(Hyperlink, AlignmentFlagsPlaceTheText) {
  LinkHost host;
  host.link->setText(QStringLiteral("下载"));
  const QColor background = host.Background();
  const int width = host.link->width();

  host.link->m_nAlignStyle = CHyperlink::ALIGN_LEFT;
  const QRect left = InkBounds(Grab(host.link), {background});
  host.link->m_nAlignStyle = CHyperlink::ALIGN_RIGHT;
  const QRect right = InkBounds(Grab(host.link), {background});
  host.link->m_nAlignStyle = CHyperlink::ALIGN_CENTER;
  const QRect centre = InkBounds(Grab(host.link), {background});

  EXPECT_LT(left.left(), 4);
  EXPECT_GT(right.right(), width - 5);
  EXPECT_LE(std::abs(centre.left() - (width - 1 - centre.right())), 3);
  // Vertically centred in every case.
  EXPECT_LE(std::abs(left.center().y() - host.link->height() / 2), 3);
}

TEST(Hyperlink, SizeToContentFitsTheTextWithSixPixelsAround) {
  QWidget parent;
  CHyperlink link(&parent);
  link.setText(QStringLiteral("点击下载"));
  link.SetLinkFont(QStringLiteral("Noto Sans CJK SC"), 16, false, false);
  const QSize text = QFontMetrics(link.LinkFont()).size(Qt::TextSingleLine, link.text());

  link.setGeometry(20, 30, 200, 60);
  const QSize fitted = link.SizeToContent();
  EXPECT_EQ(fitted, text + QSize(12, 12));
  EXPECT_EQ(link.geometry(), QRect(QPoint(20, 30), fitted));

  link.setGeometry(20, 30, 200, 60);
  link.SizeToContent(true, true);
  EXPECT_EQ(
      link.geometry(),
      QRect(QPoint(20 + (200 - fitted.width()) / 2, 30 + (60 - fitted.height()) / 2), fitted));

  link.setGeometry(20, 30, 200, 60);
  link.SizeToContent(false, true);
  EXPECT_EQ(link.geometry().topLeft(), QPoint(20 + (200 - fitted.width()) / 2, 30));
}

TEST(Hyperlink, SpaceActsAsEnterAndEnterStaysWithTheLink) {
  QDialog dialog;
  auto* ok = new QPushButton(QStringLiteral("确定"), &dialog);
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
  auto* link = new CHyperlink(&dialog);
  link->setText(QStringLiteral("点击下载"));
  link->setGeometry(10, 40, 100, 30);
  QSignalSpy clicks(link, &QAbstractButton::clicked);
  ASSERT_TRUE(ShowActive(&dialog));
  link->setFocus();

  QTest::keyClick(link, Qt::Key_Space);
  EXPECT_EQ(clicks.count(), 1);  // once, not at press and again at release
  QTest::keyClick(link, Qt::Key_Return);
  EXPECT_EQ(clicks.count(), 2);
  EXPECT_TRUE(dialog.isVisible()) << "Enter on the link reached the default button";
  EXPECT_TRUE(link->m_bVisited);

  QTest::mouseClick(link, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 3);
}
