// Screenshots of the main dialog: idle, and during an upgrade (a real one, against the
// reference service on loopback and the virtual dongle at full speed).
//   app_screenshots <folder>      (the build target screenshots_app writes docs/)
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/zav_dlg.h"
#include "controls/dialog_units.h"
#include "controls/my_progress_bar.h"
#include "dongle/dongle.h"
#include "hiddfu/image.h"
#include "refservice/refservice.h"
#include "service/config.h"
#include "support/text.h"
#include "tests/controls/screenshot_tool.h"
#include "tests/service/service_fixture.h"

int main(int argc, char** argv) {
  InitSystemCodePage();
  // The download goes into a Documents folder of its own, not the user's.
  TempDir dir;
  UsePrivateHome(dir.path() / "home");

  RefServiceOptions options = RefServiceOptions::FromPkiDir(PkiDir());
  options.catalogueDir = dir.path() / "catalogue";
  CatalogueEntry entry;
  entry.file = "marlo-1.2.0.7.bin";
  entry.version = 1020007;  // 1.2.0.7
  entry.bizId = "biz-1020007";
  entry.versionTxt = "V1.2.0.7";
  if (!WriteCatalogue(options.catalogueDir, entry,
                      hiddfu::MakeImageBytes(std::string(512 * 1024, 'z'), {1, 2, 0, 7}))) {
    std::fprintf(stderr, "cannot write the catalogue\n");
    return 1;
  }
  RefService service(options);
  std::string error;
  if (!service.Start(&error)) {
    std::fprintf(stderr, "reference service: %s\n", error.c_str());
    return 1;
  }
  ConfigureService(
      {"localhost", (PkiDir() / "ca.pem").string(), static_cast<std::uint16_t>(service.Port())});
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);

  const int rc = RunScreenshots(
      argc, argv,
      {
          {"main_dialog_idle",
           [] {
             auto dlg = std::make_unique<CZavDlg>();
             dlg->show();
             QTest::qWait(1200);  // the first presence probe has run
             return std::unique_ptr<QWidget>(std::move(dlg));
           }},
          {"main_dialog_upgrading",
           [] {
             auto dlg = std::make_unique<CZavDlg>();
             dlg->show();
             QTest::mouseClick(DialogItem<QAbstractButton>(dlg.get(), 1004), Qt::LeftButton);
             auto* bar = DialogItem<CMyProgressBar>(dlg.get(), 1006);
             if (!QTest::qWaitFor([&] { return bar->GetPos() >= 20; }, 10000))
               std::fprintf(stderr, "the upgrade did not get going\n");
             return std::unique_ptr<QWidget>(std::move(dlg));
           }},
      });
  service.Stop();
  return rc;
}
