// Start-up of the main dialog and its window behaviour: the service's texts before the first
// show, the look, the About entry, and closing with Enter, Escape and the close box.
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "controls/dialog_units.h"
#include "controls/my_button.h"
#include "controls/my_progress_bar.h"
#include "hiddfu/hiddfu.h"
#include "service/operations.h"
#include "tests/app/app_fixture.h"
#include "tests/controls/widget_test_util.h"

namespace {

bool Shown(QWidget* dialog, int id) {
  return DialogItem<QWidget>(dialog, id)->isVisibleTo(dialog);
}

}  // namespace

class DialogTest : public AppTest {};

// The version query and the tip sync run before the dialog is first shown; the tip dialog
// opens while the main window is not on screen yet, with the texts the dialog keeps.
TEST_F(DialogTest, StartUpShowsTheServiceTextsBeforeTheWindow) {
  CatalogueEntry entry = Firmware();
  entry.versionTxt = "V1.2.0.7 正式版";
  entry.tip = "发现新固件，建议升级";
  entry.tipUrl = "https://localhost/notes/1.2.0.7";
  Publish(entry);
  CZavDlg& dlg = Open();

  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].cls, "CUpgradeDlg");
  EXPECT_EQ(notices_[0].text, "发现新固件，建议升级");
  EXPECT_FALSE(notices_[0].mainWindowShown);
  EXPECT_EQ(notices_[0].versionLabel, "V1.2.0.7 正式版") << "the query runs before the tip";
  EXPECT_EQ(dlg.UpgradeTip(), "发现新固件，建议升级");
  EXPECT_EQ(dlg.UpgradeLink(), "https://localhost/notes/1.2.0.7");
  EXPECT_EQ(service_->Requests().size(), 2u);  // the version query and the tip sync
  EXPECT_TRUE(Reports().empty());
  EXPECT_EQ(FirmwareInfo.localPath, "");
  // Start-up touches no device and leaves the probe to the timer.
  EXPECT_EQ(VirtualDongle::GetStats().starts, 0u);
  EXPECT_TRUE(dlg.ProbeTimer().isActive());
  EXPECT_FALSE(dlg.ProgressTimer().isActive());
}

// The tip opens while the main window is not on screen yet: it is centred over where that
// window will appear, the middle of the screen. Run under a real X server.
TEST_F(DialogTest, PlacementTipCentredOverTheMainWindowCentredOnTheScreen) {
  CatalogueEntry entry = Firmware();
  entry.tipUrl = "https://localhost/notes";
  Publish(entry);
  CZavDlg& dlg = Open();
  ASSERT_EQ(notices_.size(), 1u);
  const QPoint screen = dlg.screen()->availableGeometry().center();
  const QPoint main = dlg.frameGeometry().center();
  const QPoint tip = notices_[0].frame.center();
  EXPECT_LE((main - screen).manhattanLength(), 2) << main.x() << "," << main.y();
  EXPECT_LE((tip - main).manhattanLength(), 2) << tip.x() << "," << tip.y();
}

TEST_F(DialogTest, StartUpColoursAndHidesTheControls) {
  CZavDlg& dlg = Open();
  EXPECT_TRUE(notices_.empty()) << "a tip without an address opens no dialog";
  EXPECT_EQ(dlg.windowTitle(), "Marlo升级工具");
  EXPECT_FALSE(dlg.windowIcon().isNull());
  EXPECT_EQ(dlg.size(), QSize(539, 561)) << "not laid out in the template font";
  EXPECT_FALSE(dlg.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(dlg.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

  // What stays: the logo, the dongle label with its checked radio button, the version and
  // connection labels, the upgrade button.
  for (const int id : {1004, 1010, 1016, 1025, 1026})
    EXPECT_TRUE(Shown(&dlg, id)) << id;
  EXPECT_TRUE(dlg.findChild<QLabel*>("IDC_STATIC_logo")->isVisibleTo(&dlg));
  for (const int id : {1, 2, 1003, 1006, 1009, 1011, 1012, 1013, 1014, 1015, 1017, 1018, 1019})
    EXPECT_FALSE(Shown(&dlg, id)) << id;
  EXPECT_TRUE(DialogItem<QRadioButton>(&dlg, 1010)->isChecked());
  EXPECT_EQ(DialogItem<QLabel>(&dlg, 1025)->text(), "设备已连接");

  // The upgrade button: flat purple up and down, a near-white caption, pressed framed in the
  // purple's inverse.
  auto* button = DialogItem<CMyButton>(&dlg, 1004);
  EXPECT_EQ(button->text(), "升级");
  QImage face = Grab(button);
  EXPECT_EQ(face.pixelColor(1, 1), kPurple);
  EXPECT_GT(CountColour(face, face.rect(), kNearWhite), 20);
  button->setDown(true);
  face = Grab(button);
  button->setDown(false);
  EXPECT_EQ(face.pixelColor(0, 0), QColor(95, 223, 15));
  EXPECT_EQ(face.pixelColor(2, 2), kPurple);
  // The bar inside its black border: 299 pixels, so 2 a unit; purple filled, near-white
  // beyond, the near-white text over the fill.
  auto* bar = DialogItem<CMyProgressBar>(&dlg, 1006);
  bar->show();
  bar->SetPos(99);
  const QImage filled = Grab(bar);
  bar->hide();
  EXPECT_EQ(filled.pixelColor(0, 5), kBlack);
  EXPECT_EQ(filled.pixelColor(198, 5), kPurple);
  EXPECT_EQ(filled.pixelColor(199, 5), kNearWhite);
  EXPECT_GT(CountColour(filled, QRect(1, 1, 198, 28), kNearWhite), 0);

  // Black background, near-white label text.
  const QImage shot = Grab(&dlg);
  EXPECT_EQ(shot.pixelColor(2, 2), kBlack);
  EXPECT_EQ(shot.pixelColor(shot.width() - 3, shot.height() - 3), kBlack);
  DialogItem<QLabel>(&dlg, 1026)->setText("V9");
  const QImage labels = Grab(&dlg);
  for (const int id : {1016, 1025, 1026}) {
    const QRect area = DialogItem<QWidget>(&dlg, id)->geometry();
    EXPECT_GT(CountColour(labels, area, kNearWhite), 0) << id;
    EXPECT_EQ(InkBounds(labels.copy(area), {kBlack}).isEmpty(), false) << id;
  }
  // The right-aligned radio button draws its indicator at the right of its box.
  const QRect radio = DialogItem<QWidget>(&dlg, 1010)->geometry();
  const QRect indicator = InkBounds(labels.copy(radio), {kBlack});
  ASSERT_FALSE(indicator.isEmpty());
  EXPECT_GE(indicator.right(), radio.width() - 3) << "box " << radio.width();
  EXPECT_GT(indicator.left(), radio.width() - indicator.right() - 1) << "box " << radio.width();
}

// The SHA-256 of the demo public key's DER form, in hex, as openssl computes it.
static std::string DemoKeyFingerprint() {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(ZAV_DEMO_PUBLIC_KEY_FILE, "r"),
                                                       &std::fclose);
  EVP_PKEY* key = file ? PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr) : nullptr;
  unsigned char* der = nullptr;
  const int length = key ? i2d_PUBKEY(key, &der) : 0;
  unsigned char digest[SHA256_DIGEST_LENGTH] = {};
  SHA256(der, static_cast<std::size_t>(std::max(length, 0)), digest);
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  std::string hex;
  for (const unsigned char byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

TEST_F(DialogTest, AboutEntryOfTheWindowMenuOpensTheAboutBox) {
  // A right click opens the menu; choosing its entry opens the About box.
  CZavDlg& dlg = Open();
  QWidget* shownMenu = nullptr;
  QString entry;
  QTimer::singleShot(50, [&] {
    shownMenu = QApplication::activePopupWidget();
    if (auto* popup = qobject_cast<QMenu*>(shownMenu)) {
      for (QAction* action : popup->actions()) {
        if (!action->isSeparator()) {
          popup->setActiveAction(action);
          entry = action->text();
        }
      }
      QTest::keyClick(popup, Qt::Key_Return);
    } else if (shownMenu != nullptr) {
      shownMenu->close();
    }
  });
  const QPoint at(20, 20);
  QContextMenuEvent event(QContextMenuEvent::Mouse, at, dlg.mapToGlobal(at));
  QApplication::sendEvent(&dlg, &event);
  EXPECT_EQ(shownMenu, dlg.SystemMenu());
  EXPECT_EQ(entry, "关于 Zav(&A)...");
  ASSERT_TRUE(WaitFor(
      [&] { return notices_.size() == 1 && QApplication::activeModalWidget() == nullptr; }, 3000));
  EXPECT_EQ(notices_[0].cls, "CAboutDlg");
  // The fingerprint of the key the executable trusts, here the demo key: the SHA-256 of its
  // DER form, as openssl shows it, in groups of four digits.
  const std::string digest = DemoKeyFingerprint();
  EXPECT_EQ(notices_[0].text,
            QString::fromStdString("签名密钥 " + digest.substr(0, 4) + " " + digest.substr(4, 4) +
                                   " " + digest.substr(8, 4) + " " + digest.substr(12, 4)));

  // The command's low four bits are the platform's: still the About box. Others do nothing.
  dlg.OnSysCommand(CZavDlg::kCommandAbout | 0x3);
  EXPECT_EQ(notices_.size(), 2u);
  dlg.OnSysCommand(0xF060);
  EXPECT_EQ(notices_.size(), 2u);
  EXPECT_TRUE(dlg.isVisible());
}

// Enter (also with the upgrade button focused), Escape and the close box each end the modal
// run of the dialog.
TEST_F(DialogTest, EnterEscapeAndTheCloseBoxCloseTheTool) {
  const struct {
    const char* how;
    std::function<void(CZavDlg&)> close;
    int result;
  } ways[] = {
      {"Enter on the focused upgrade button",
       [](CZavDlg& d) {
         DialogItem<QWidget>(&d, 1004)->setFocus();
         QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &d,
                         Qt::Key_Return);
       },
       QDialog::Accepted},
      {"Escape", [](CZavDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, QDialog::Rejected},
      {"close box", [](CZavDlg& d) { d.close(); }, QDialog::Rejected},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.how);
    notices_.clear();
    dlg_ = std::make_unique<CZavDlg>();  // the watcher leaves it alone
    CZavDlg& dlg = *dlg_;
    bool wasOpen = false;
    QTimer::singleShot(100, [&] {
      wasOpen = QApplication::activeModalWidget() == &dlg;
      way.close(dlg);
    });
    QTimer::singleShot(3000, &dlg, [&] { static_cast<QDialog&>(dlg).done(-1); });  // no hang
    const int result = dlg.DoModal();
    EXPECT_TRUE(wasOpen);
    EXPECT_EQ(result, way.result);
    EXPECT_FALSE(dlg.ProbeTimer().isActive());
    EXPECT_TRUE(notices_.empty());
    dlg_.reset();
  }
  EXPECT_TRUE(Reports().empty());
}

// ---- Closing during an upgrade, to the end of the process --------------------------------

namespace {

// Runs after the update library's own exit handler: registered before the library's.
void CheckDeviceAtExit() {
  const bool oldImage = VirtualDongle::ActiveSlot() == 0 &&
                        VirtualDongle::RunningVersion() == VirtualDongle::kFactoryVersion &&
                        !VirtualDongle::GetSlot(1).bootable && VirtualDongle::GetSlot(0).bootable;
  std::fprintf(stderr, "device at exit: %s\n", oldImage ? "old image" : "changed");
  std::fflush(stderr);
  std::_Exit(oldImage ? 0 : 3);
}

}  // namespace

// The tool closed with Escape mid-write closes at once and ends like the real program: main
// returns and the process exits. The library stops its writer on the way out and the dongle keeps
// booting its old image.
TEST_F(DialogTest, ClosingDuringAnUpgradeExitsLeavingTheOldImage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Publish(Firmware(), 512 * 1024);
        VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
        std::atexit(CheckDeviceAtExit);
        auto dlg = std::make_unique<CZavDlg>();
        QTimer::singleShot(0, [&] {
          QTest::mouseClick(DialogItem<QWidget>(dlg.get(), 1004), Qt::LeftButton);
          QTimer::singleShot(1500, [&] {
            std::fprintf(stderr, "progress before closing: %d\n", hidDfuGetProgress());
            QTest::keyClick(dlg.get(), Qt::Key_Escape);
          });
        });
        const int result = dlg->DoModal();
        // At once, without a question, a report, a notice or a disconnect.
        std::fprintf(stderr,
                     "closed during the write: %s, rejected %d, timers %d, reports %zu, "
                     "notices %zu\n",
                     hidDfuGetProgress() < 100 ? "yes" : "no", result == QDialog::Rejected,
                     dlg->ProgressTimer().isActive() || dlg->ProbeTimer().isActive(),
                     service_->Reports().size(), notices_.size());
        std::exit(0);
      },
      testing::ExitedWithCode(0),
      "closed during the write: yes, rejected 1, timers 0, reports 0, notices 0\n(.|\n)*"
      "device at exit: old image");
}
