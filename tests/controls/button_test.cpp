#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <QWidget>

#include "controls/my_button.h"
#include "tests/controls/widget_test_util.h"

namespace {

const QColor kFrame(95, 223, 15);  // the inverse of the purple

void MakeNoticeButton(CMyButton& button) {
  button.SetOwnerDraw();
  button.m_clrText = kNearWhite;
  button.m_clrPressed = kPurple;
  button.m_clrNormal = kPurple;
}

// True when the whole 1-pixel edge of the image has the frame colour.
bool HasFrame(const QImage& image) {
  const int w = image.width();
  const int h = image.height();
  return CountColour(image, QRect(0, 0, w, 1), kFrame) == w &&
         CountColour(image, QRect(0, h - 1, w, 1), kFrame) == w &&
         CountColour(image, QRect(0, 0, 1, h), kFrame) == h &&
         CountColour(image, QRect(w - 1, 0, 1, h), kFrame) == h;
}

// A button and a second focusable widget in an active window.
struct Host {
  QWidget window;
  CMyButton* button = new CMyButton(&window);
  QPushButton* other = new QPushButton(QStringLiteral("other"), &window);
  Host() {
    window.resize(300, 100);
    button->setGeometry(10, 10, 120, 30);
    other->setGeometry(150, 10, 100, 30);
    button->setText(QStringLiteral("确定"));
    MakeNoticeButton(*button);
  }
};

}  // namespace

// A pressed button is framed on whole and selection redraws, not on one for the focus alone;
// the face is refilled on every one.
TEST(MyButton, PressedFrameGoesOnAFocusOnlyRedrawAndOnRelease) {
  Host host;
  ASSERT_TRUE(ShowActive(&host.window));
  host.other->setFocus();
  QApplication::processEvents();

  host.button->setDown(true);
  EXPECT_TRUE(HasFrame(Grab(host.button)));

  // Focus arrives while the button is held: the redraw for that alone has no frame.
  host.button->setFocus();
  ASSERT_TRUE(host.button->hasFocus());
  ASSERT_TRUE(host.button->isDown());
  const QImage focus_only = Grab(host.button);
  EXPECT_EQ(CountColour(focus_only, focus_only.rect(), kFrame), 0);
  EXPECT_EQ(focus_only.pixelColor(0, 0), kPurple);
  // A later whole redraw of the still pressed button draws it again.
  EXPECT_TRUE(HasFrame(Grab(host.button)));

  host.button->setDown(false);
  const QImage released = Grab(host.button);
  EXPECT_EQ(CountColour(released, released.rect(), kFrame), 0);
  EXPECT_EQ(released.pixelColor(0, 0), kPurple);
}

TEST(MyButton, DisabledLooksEnabledAndCaptionIsNearWhite) {
  CMyButton button;
  MakeNoticeButton(button);
  button.setText(QStringLiteral("升级中"));
  button.resize(150, 27);
  const QImage enabled = Grab(&button);
  EXPECT_GT(CountColour(enabled, enabled.rect(), kNearWhite), 0);
  const QRect ink = InkBounds(enabled, {kPurple});
  EXPECT_LE(std::abs(ink.left() - (149 - ink.right())), 1) << "caption not centred";
  EXPECT_LE(std::abs(ink.top() - (26 - ink.bottom())), 2) << "caption not centred";
  button.setEnabled(false);
  EXPECT_EQ(Grab(&button), enabled);
}

TEST(MyButton, CaptionIsCutTo511Characters) {
  CMyButton button;
  MakeNoticeButton(button);
  button.resize(2600, 24);
  const QString base(CMyButton::kMaxCaption, QLatin1Char('i'));
  button.setText(base);
  const QImage cut = Grab(&button);
  button.setText(base + QStringLiteral("WWWW"));
  EXPECT_EQ(Grab(&button), cut);
  button.setText(base.left(510) + QStringLiteral("W"));
  EXPECT_NE(Grab(&button), cut);
}

TEST(MyButton, WithoutOwnerDrawItIsAnOrdinaryPushButton) {
  CMyButton button;
  button.m_clrNormal = kPurple;
  button.m_clrPressed = kPurple;
  button.setText(QStringLiteral("升级"));
  button.resize(150, 27);
  const QImage plain = Grab(&button);
  EXPECT_EQ(CountColour(plain, plain.rect(), kPurple), 0);
  button.SetOwnerDraw();
  const QImage flat = Grab(&button);
  EXPECT_EQ(flat.pixelColor(1, 1), kPurple);
}
