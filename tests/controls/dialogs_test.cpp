#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QGlyphRun>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QRawFont>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controls/about_dlg.h"
#include "controls/dialog_units.h"
#include "controls/error_dlg.h"
#include "controls/hyperlink.h"
#include "controls/my_button.h"
#include "controls/my_progress_bar.h"
#include "controls/notify_label.h"
#include "controls/success_dlg.h"
#include "controls/ui_zav_dialog_102.h"
#include "controls/upgrade_dlg.h"
#include "res/resources.h"
#include "tests/common/stdout_capture.h"
#include "tests/controls/widget_test_util.h"

namespace {

QImage Picture(int id) {
  InitZavResources();
  return QImage(res::PicturePath(id)).convertToFormat(QImage::Format_RGB32);
}

// Runs the dialog modally; while it is open, during() runs, then the dialog is closed with
// Esc unless during() closed it. Returns what DoModal returned.
int RunModal(TemplateDialog& dialog, const std::function<void()>& during) {
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    EXPECT_EQ(modal, &dialog);
    during();
    if (dialog.isVisible())
      QTest::keyClick(&dialog, Qt::Key_Escape);
  });
  return dialog.DoModal();
}

// One control of a template: id, class, text, rectangle in pixels (the template's dialog units
// with the dialog font's base units, 7 x 17 pixels), shown, enabled.
struct Control {
  int id;
  const char* name;  // when the control has no id
  const char* cls;
  const char16_t* text;
  QRect pixels;
  bool visible;
  bool enabled = true;
};

void ExpectTemplate(QWidget* dialog, const char16_t* title, QSize pixels,
                    const std::vector<Control>& controls) {
  SCOPED_TRACE(QString::fromUtf16(title).toStdString());
  EXPECT_EQ(dialog->windowTitle(), QString::fromUtf16(title));
  EXPECT_EQ(dialog->size(), pixels);
  EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize()) << "a modal frame does not resize";
  dialog->show();
  const auto children = dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  EXPECT_EQ(children.size(), static_cast<qsizetype>(controls.size()));
  for (const Control& c : controls) {
    const QString name = c.name != nullptr ? QString::fromLatin1(c.name) : ControlName(c.id);
    SCOPED_TRACE(name.toStdString());
    auto* widget = dialog->findChild<QWidget*>(name, Qt::FindDirectChildrenOnly);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(ControlId(widget), c.name != nullptr ? kNoControlId : c.id);
    EXPECT_TRUE(widget->inherits(c.cls)) << widget->metaObject()->className();
    if (c.text != nullptr) {
      QString shown;
      if (auto* label = qobject_cast<QLabel*>(widget)) {
        shown = label->text();
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << "service texts must not be markup";
      } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        shown = button->text();
      } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        shown = edit->text();
      } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        shown = group->title();
      }
      EXPECT_EQ(shown, QString::fromUtf16(c.text));
    }
    EXPECT_EQ(widget->pos(), c.pixels.topLeft());
    auto* label = qobject_cast<QLabel*>(widget);
    if (label == nullptr || label->pixmap().isNull()) {
      EXPECT_EQ(widget->size(), c.pixels.size());
    }
    EXPECT_EQ(widget->isVisible(), c.visible);
    EXPECT_EQ(widget->isEnabled(), c.enabled);
  }
}

}  // namespace

TEST(DialogUnits, ConvertLikeThePlatformWithRoundedHalves) {
  const DialogBaseUnits classic{6, 12};
  EXPECT_EQ(DialogUnitsToPixels(QRect(87, 74, 50, 14), classic), QRect(131, 111, 75, 21));
  EXPECT_EQ(DialogUnitsToPixelsX(1, classic), 2);  // 1.5
  EXPECT_EQ(DialogUnitsToPixelsY(3, classic), 5);  // 4.5
  EXPECT_EQ(DialogUnitsToPixelsX(-1, classic), -2);
  EXPECT_EQ(ControlId(nullptr), kNoControlId);
}

// The face the templates name is missing here: the text is drawn in the one named after it,
// the simplified Chinese one (not another CJK variant). Its size shows in the templates'
// pixels; every text has its glyphs, or the screenshot programs fail.
TEST(DialogUnits, TemplateFontIsTheSimplifiedChineseFace) {
  CErrorDlg error;
  QTextLayout layout(QStringLiteral("设备升级成功"), error.font());
  layout.beginLayout();
  layout.createLine();
  layout.endLayout();
  const auto runs = layout.glyphRuns();
  ASSERT_FALSE(runs.isEmpty());
  for (const QGlyphRun& run : runs) {
    EXPECT_EQ(run.rawFont().familyName(), QStringLiteral("Noto Sans CJK SC"));
  }
}

TEST(Templates, NoticesAndAboutBoxAreAsSpecified) {
  CErrorDlg error;
  ExpectTemplate(&error, u"错误提示", {399, 217},
                 {{1, nullptr, "CMyButton", u"确定", {152, 157, 88, 30}, true},
                  {1022, nullptr, "NotifyLabel", u"", {117, 102, 201, 23}, true}});
  CSuccessDlg success;
  ExpectTemplate(&success, u"成功提示", {399, 217},
                 {{1, nullptr, "CMyButton", u"确定", {152, 157, 88, 30}, true},
                  {1024,
                   nullptr,
                   "NotifyLabel",
                   u"设备升级成功，欢迎畅享新版本！",
                   {116, 102, 201, 23},
                   true}});
  CUpgradeDlg tip;
  ExpectTemplate(&tip, u"升级提示", {399, 217},
                 {{1, nullptr, "CMyButton", u"确定", {149, 157, 88, 30}, true},
                  {2, nullptr, "QPushButton", u"取消", {299, 172, 88, 30}, false},
                  {1015, nullptr, "QLabel", u"", {70, 40, 257, 55}, true},
                  {1016, nullptr, "CHyperlink", u"<a>SysLink1</a>", {298, 132, 77, 30}, false},
                  {1017, nullptr, "CHyperlink", u"点击下载", {303, 104, 61, 30}, false},
                  {1019, nullptr, "NotifyLabel", u"点击下载", {170, 113, 112, 17}, true}});
  CAboutDlg about;
  ExpectTemplate(&about, u"关于 Zav", {298, 132},
                 {{-1, "IDC_STATIC_icon", "QLabel", nullptr, {25, 30, 32, 32}, true},
                  {-1, "IDC_STATIC_version", "QLabel", u"Zav，版本 1.0", {74, 30, 200, 17}, true},
                  {-1, "IDC_STATIC_note", "QLabel", nullptr, {74, 55, 200, 17}, true},
                  {1, nullptr, "QPushButton", u"确定", {198, 87, 88, 30}, true}});
  EXPECT_EQ(DialogItem<QLabel>(&about, -1), nullptr);
  const auto* icon = about.findChild<QLabel*>(QStringLiteral("IDC_STATIC_icon"));
  EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));
  EXPECT_EQ(icon->size(), QSize(32, 32));
  EXPECT_TRUE(DialogItem<QPushButton>(&about, 1)->isDefault());
}

// The second line shows the first 16 digits of the fingerprint in groups, the tooltip the
// whole; without one the line keeps its text.
TEST(AboutBox, ShowsTheTrustedKeysFingerprint) {
  const QString digits = QStringLiteral("00112233445566778899aabbccddeeff") +
                         QStringLiteral("0123456789abcdef0123456789abcdef");
  CAboutDlg about;
  about.m_pszKeyFingerprint = digits;
  about.show();
  const auto* note = about.findChild<QLabel*>(QStringLiteral("IDC_STATIC_note"));
  EXPECT_EQ(note->text(), QStringLiteral("签名密钥 0011 2233 4455 6677"));
  EXPECT_EQ(note->toolTip(), QStringLiteral("固件签名密钥的 SHA-256 指纹：\n"
                                            "0011 2233 4455 6677 8899 aabb ccdd eeff\n"
                                            "0123 4567 89ab cdef 0123 4567 89ab cdef"));
  CAboutDlg plain;
  plain.show();
  EXPECT_EQ(plain.findChild<QLabel*>(QStringLiteral("IDC_STATIC_note"))->text(),
            QStringLiteral("Marlo 无线耳机固件升级工具"));
}

// The main dialog's template the way the main dialog builds on it.
class MainTemplate : public TemplateDialog {
 public:
  MainTemplate() : TemplateDialog(nullptr) {
    ui.setupUi(this);
    ApplyDialogTemplate(this);
  }
  Ui::Template102 ui;
};

TEST(Templates, MainDialogTemplateHasEveryControl) {
  MainTemplate dialog;
  Ui::Template102& ui = dialog.ui;
  ApplyDialogTemplate(&dialog);  // a second call converts nothing again
  ExpectTemplate(&dialog, u"Marlo升级工具", {539, 561},
                 {{1, nullptr, "QPushButton", u"确定", {338, 491, 88, 30}, false},
                  {2, nullptr, "QPushButton", u"取消", {436, 491, 88, 30}, false},
                  {1003, nullptr, "QLineEdit", u"", {168, 487, 140, 30}, false},
                  {1004, nullptr, "CMyButton", u"升级", {180, 389, 177, 38}, true},
                  {1006, nullptr, "CMyProgressBar", nullptr, {117, 446, 301, 30}, false},
                  {1009, nullptr, "QRadioButton", u"", {376, 185, 18, 21}, true, false},
                  {1010, nullptr, "QRadioButton", u"", {389, 219, 18, 21}, true},
                  {1011, nullptr, "QRadioButton", u"", {376, 255, 18, 21}, true, false},
                  {1012, nullptr, "QRadioButton", u"", {378, 291, 16, 21}, true, false},
                  {1013, nullptr, "QRadioButton", u"", {376, 327, 18, 21}, true, false},
                  {1014, nullptr, "QLabel", u"Marlo", {243, 119, 58, 17}, true},
                  {-1, "IDC_STATIC_group", "QGroupBox", u"", {116, 151, 301, 219}, false},
                  {1015, nullptr, "QLabel", u"ASE芯片", {152, 187, 51, 17}, true},
                  {1016, nullptr, "QLabel", u"RIX TWS Dongle", {131, 221, 119, 17}, true},
                  {1017, nullptr, "QLabel", u"盖子", {152, 255, 30, 17}, true},
                  {1018, nullptr, "QLabel", u"充电盒", {152, 289, 44, 17}, true},
                  {1019, nullptr, "QLabel", u"底座", {152, 323, 30, 17}, true},
                  {-1, "IDC_STATIC_logo", "QLabel", nullptr, {236, 45, 84, 94}, true},
                  {1025, nullptr, "QLabel", u"设备已连接", {240, 287, 105, 17}, true},
                  {1026, nullptr, "QLabel", u"", {324, 221, 54, 17}, true}});
  EXPECT_TRUE(ui.IDOK->isDefault());
  EXPECT_EQ(ui.IDC_STATIC_logo->size(), QSize(72, 66));  // a picture static takes its size
  EXPECT_TRUE(ui.IDC_1026->alignment() & Qt::AlignRight);
  EXPECT_EQ(DialogItem<CMyProgressBar>(&dialog, 1006), ui.IDC_1006);
  ui.IDC_1006->show();  // its black border lies outside what it fills
  ui.IDC_1006->SetPos(100);
  EXPECT_EQ(Grab(ui.IDC_1006).pixelColor(0, 5), QColor(Qt::black));
}

TEST(Pictures, HaveTheirSizesDepthsAndSubjects) {
  InitZavResources();
  const struct {
    int id;
    QSize size;
    int bits;
  } pictures[] = {{res::kBitmapLogo, {72, 66}, 24},
                  {res::kBitmapUpgradeTip, {399, 215}, 24},
                  {res::kBitmapError, {399, 215}, 24},
                  {res::kBitmapSuccess, {399, 215}, 24}};
  for (const auto& p : pictures) {
    QFile file(res::PicturePath(p.id));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << p.id;
    const QByteArray bytes = file.readAll();
    ASSERT_GT(bytes.size(), 30);
    EXPECT_EQ(bytes.left(2), QByteArray("BM"));
    EXPECT_EQ(static_cast<int>(bytes[28]), p.bits) << p.id;  // bits per pixel of the header
    EXPECT_EQ(QImage::fromData(bytes).size(), p.size) << p.id;
  }
  const QImage icon(res::PicturePath(res::kIconApp));
  EXPECT_EQ(icon.size(), QSize(100, 100));
  // Each has its drawing for screens of device pixel ratio 2: twice the pixels, the same size.
  for (const int id : {res::kIconApp, res::kBitmapLogo, res::kBitmapUpgradeTip, res::kBitmapError,
                       res::kBitmapSuccess}) {
    const QPixmap once = res::LoadPicture(id, 1.0);
    const QPixmap twice = res::LoadPicture(id, 2.0);
    EXPECT_EQ(twice.size(), 2 * once.size()) << id;
    EXPECT_EQ(twice.deviceIndependentSize(), once.deviceIndependentSize()) << id;
  }
  EXPECT_TRUE(icon.hasAlphaChannel());
  EXPECT_EQ(icon.depth(), 32);

  const QImage ground = Picture(res::kBitmapUpgradeTip);
  const QImage error = Picture(res::kBitmapError);
  const QImage success = Picture(res::kBitmapSuccess);
  const auto dark = [](QColor c) { return c.value() < 70 && c.saturation() < 90; };
  const auto red = [](QColor c) {
    return c.red() > 2 * c.green() + 20 && c.red() > 2 * c.blue() + 20;
  };
  EXPECT_TRUE(dark(ground.pixelColor(199, 52))) << "the ground alone holds no symbol";
  EXPECT_TRUE(dark(ground.pixelColor(200, 160)));
  // Faint purple in the corners.
  for (const QImage* image : {&ground, &error, &success}) {
    int purple = 0;
    for (const QRect& corner : {QRect(0, 0, 60, 60), QRect(339, 155, 60, 60)}) {
      for (int y = corner.top(); y <= corner.bottom(); ++y) {
        for (int x = corner.left(); x <= corner.right(); ++x) {
          const QColor c = image->pixelColor(x, y);
          if (c.blue() > c.green() + 25 && c.red() > c.green() + 10)
            ++purple;
        }
      }
    }
    EXPECT_GT(purple, 200);
  }
  // The error disc is dark red with a bright red mark, the success disc red with white.
  EXPECT_TRUE(red(error.pixelColor(180, 52)));
  EXPECT_LT(error.pixelColor(180, 52).value(), 140);
  EXPECT_TRUE(red(error.pixelColor(199, 45)));
  EXPECT_GT(error.pixelColor(199, 45).value(), 200);
  EXPECT_TRUE(red(success.pixelColor(190, 40)));
  EXPECT_GT(success.pixelColor(190, 40).value(), 170);
  int white = 0;
  for (int x = 185; x < 215; ++x) {
    for (int y = 40; y < 65; ++y) {
      const QColor c = success.pixelColor(x, y);
      if (c.red() > 240 && c.green() > 240 && c.blue() > 240)
        ++white;
    }
  }
  EXPECT_GT(white, 30) << "no white tick";
  EXPECT_EQ(res::LoadResString(res::kStringAboutBox), QStringLiteral("关于 Zav(&A)..."));
  EXPECT_TRUE(res::LoadResString(7).isEmpty());
}

TEST(Notices, BackgroundTilesFromTheClientOriginUnderADarkTopAndLeftLine) {
  CSuccessDlg success;
  CErrorDlg error;
  CUpgradeDlg tip;
  for (auto [dialog, bitmap] : {std::pair<TemplateDialog*, int>{&success, res::kBitmapSuccess},
                                {&error, res::kBitmapError},
                                {&tip, res::kBitmapUpgradeTip}}) {
    const QImage picture = Picture(bitmap);
    dialog->show();
    QImage image = Grab(dialog);
    SCOPED_TRACE(dialog->windowTitle().toStdString());
    // At its own size the client is two rows taller than the picture: they repeat the top.
    ASSERT_EQ(image.height(), 217);
    for (int x : {30, 200, 380}) {
      EXPECT_EQ(image.pixelColor(x, 215), picture.pixelColor(x, 0));
      EXPECT_EQ(image.pixelColor(x, 216), picture.pixelColor(x, 1));
    }
    // Larger, it repeats in both directions.
    dialog->setFixedSize(820, 470);
    image = Grab(dialog);
    for (const QPoint p : {QPoint(1, 1), QPoint(420, 10), QPoint(600, 300), QPoint(790, 440),
                           QPoint(405, 230), QPoint(10, 450)}) {
      const QColor expected = p.x() < 789 ? picture.pixelColor(p.x() % 399, p.y() % 215)
                                          : dialog->palette().color(QPalette::Window);
      EXPECT_EQ(image.pixelColor(p), expected) << p.x() << "," << p.y();
    }
    for (int i : {0, 100, 398, 600}) {
      EXPECT_EQ(image.pixelColor(i, 0), QColor(Qt::black));
      if (i < 470) {
        EXPECT_EQ(image.pixelColor(0, i), QColor(Qt::black));
      }
    }
    EXPECT_EQ(image.pixelColor(789, 300), QColor(Qt::black));  // the painted area's right edge
  }
}

TEST(Notices, MessageIsNearWhiteOverThePictureAndANullTextIsEmpty) {
  const QImage picture = Picture(res::kBitmapError);
  CErrorDlg error;
  error.m_pszText = u"设备升级失败，请进行检查！";
  error.show();
  auto* message = DialogItem<QLabel>(&error, 1022);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->text(), QStringLiteral("设备升级失败，请进行检查！"));
  const QImage image = Grab(&error);
  const QRect line = message->geometry();
  EXPECT_GT(CountColour(image, line, kNearWhite), 20);
  // Beyond the end of the text the picture shows through: no background of its own.
  const QPoint after(line.right() - 2, line.bottom() - 1);
  EXPECT_EQ(image.pixelColor(after), picture.pixelColor(after));
  // The OK button is flat purple with a near-white caption.
  const QRect ok = DialogItem<CMyButton>(&error, 1)->geometry();
  EXPECT_EQ(image.pixelColor(ok.topLeft() + QPoint(1, 1)), kPurple);
  EXPECT_GT(CountColour(image, ok, kNearWhite), 5);

  CErrorDlg null_text;  // m_pszText left null
  null_text.show();
  EXPECT_EQ(DialogItem<QLabel>(&null_text, 1022)->text(), QString());
  const QImage empty = Grab(&null_text);
  for (int y = line.top(); y <= line.bottom(); ++y) {
    for (int x = line.left(); x <= line.right(); ++x) {
      ASSERT_EQ(empty.pixelColor(x, y), picture.pixelColor(x, y)) << x << "," << y;
    }
  }
}

TEST(Notices, OkAndEnterAcceptEscRejects) {
  CSuccessDlg by_click;
  EXPECT_EQ(
      RunModal(by_click,
               [&] { QTest::mouseClick(DialogItem<CMyButton>(&by_click, 1), Qt::LeftButton); }),
      QDialog::Accepted);
  CErrorDlg by_enter;
  EXPECT_EQ(RunModal(by_enter, [&] { QTest::keyClick(&by_enter, Qt::Key_Return); }),
            QDialog::Accepted);
  CUpgradeDlg by_esc;
  EXPECT_EQ(RunModal(by_esc, [] {}), QDialog::Rejected);
}

// Every click of "点击下载" logs the address and opens it again, an empty one nothing; the tip
// stays open.
TEST(UpgradeTip, EveryDownloadClickLogsAndOpensTheAddressAgain) {
  for (const QString& address :
       {QStringLiteral("https://localhost:8443/固件/marlo.bin"), QString()}) {
    CUpgradeDlg dialog;
    dialog.m_pszTip = u"发现新固件 <b>V2.1</b>，建议立即升级。";
    dialog.m_pszUrl = address;
    UrlCatcher catcher;
    StdoutCapture capture;
    RunModal(dialog, [&] {
      EXPECT_EQ(DialogItem<QLabel>(&dialog, 1015)->text(),
                QStringLiteral("发现新固件 <b>V2.1</b>，建议立即升级。"));
      auto* download = DialogItem<NotifyLabel>(&dialog, 1019);
      QTest::mouseClick(download, Qt::LeftButton);
      QTest::mouseClick(download, Qt::LeftButton);
      EXPECT_TRUE(dialog.isVisible()) << "the tip closed after a click";
    });
    const std::string expected = "url=" + address.toStdString();  // UTF-8
    EXPECT_EQ(SplitLines(capture.Stop()), (std::vector<std::string>{expected, expected}));
    const std::vector<QUrl> opened(2, QUrl(address));
    EXPECT_EQ(catcher.opened, address.isEmpty() ? std::vector<QUrl>{} : opened);
  }
}

// Only what parses as an http or https address with a host is opened, whatever the text
// holds; anything else is logged and not opened, from the download text and the link alike.
TEST(UpgradeTip, OnlyWebAddressesAreOpened) {
  const std::pair<QString, bool> cases[] = {
      {QStringLiteral("https://localhost:8443/固件.bin"), true},
      {QStringLiteral("HTTP://Localhost/notes"), true},
      {QStringLiteral(" https://localhost/notes "), true},
      {QStringLiteral("file:///etc/passwd#http"), false},
      {QStringLiteral("javascript:alert('https://localhost/')"), false},
      {QStringLiteral("ftp://localhost/http"), false},
      {QStringLiteral("mailto:user@http.example"), false},
      {QStringLiteral("www.example.com/http"), false},
      {QStringLiteral("https:relative/http"), false},
  };
  for (const auto& [address, web] : cases) {
    SCOPED_TRACE(address.toStdString());
    CUpgradeDlg dialog;
    dialog.m_pszUrl = address;
    dialog.show();
    UrlCatcher catcher;
    StdoutCapture capture;
    QTest::mouseClick(DialogItem<NotifyLabel>(&dialog, 1019), Qt::LeftButton);
    auto* link = DialogItem<CHyperlink>(&dialog, 1016);
    link->SetURL(address);
    link->click();
    const std::string text = address.toStdString();
    const std::string refused = "url not opened, not an http or https address=" + text;
    EXPECT_EQ(SplitLines(capture.Stop()),
              web ? (std::vector<std::string>{"url=" + text, "url=" + text, "url23=" + text})
                  : (std::vector<std::string>{"url=" + text, refused, "url=" + text,
                                              "url23=" + text, refused}));
    EXPECT_EQ(catcher.opened.size(), web ? 2u : 0u);
  }
}

TEST(UpgradeTip, LinkClickLogsItsItemAndTheTipAddress) {
  CUpgradeDlg dialog;
  dialog.m_pszUrl = u"https://localhost/tip";
  dialog.show();
  auto* link = DialogItem<CHyperlink>(&dialog, 1016);
  ASSERT_NE(link, nullptr);
  UrlCatcher catcher;
  StdoutCapture capture;
  link->click();  // the template's link has no address
  link->SetURL(QStringLiteral("https://localhost/item"));
  link->click();
  EXPECT_EQ(
      SplitLines(capture.Stop()),
      (std::vector<std::string>{"url=", "url23=https://localhost/tip", "url=https://localhost/item",
                                "url23=https://localhost/tip"}));
  ASSERT_EQ(catcher.opened.size(), 1u);
  EXPECT_EQ(catcher.opened[0], QUrl(QStringLiteral("https://localhost/item")));
}
