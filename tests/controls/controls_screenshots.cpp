// Screenshots of the three notices and the About box:
//   controls_screenshots <folder>      (the build target screenshots_controls writes docs/)
#include <QWidget>
#include <memory>

#include "controls/about_dlg.h"
#include "controls/error_dlg.h"
#include "controls/success_dlg.h"
#include "controls/upgrade_dlg.h"
#include "tests/controls/screenshot_tool.h"

int main(int argc, char** argv) {
  return RunScreenshots(
      argc, argv,
      {
          {"error_notice",
           [] {
             auto dlg = std::make_unique<CErrorDlg>();
             dlg->m_pszText = u"设备未成功连接，请进行检查！";
             return std::unique_ptr<QWidget>(std::move(dlg));
           }},
          {"success_notice",
           [] { return std::unique_ptr<QWidget>(std::make_unique<CSuccessDlg>()); }},
          {"upgrade_tip",
           [] {
             auto dlg = std::make_unique<CUpgradeDlg>();
             dlg->m_pszTip = u"发现新固件 V2.1.0：提升连接稳定性，优化续航表现，建议立即升级。";
             dlg->m_pszUrl = u"https://localhost:8443/files/marlo-2.1.0.bin";
             return std::unique_ptr<QWidget>(std::move(dlg));
           }},
          {"about_box",
           [] {
             auto dlg = std::make_unique<CAboutDlg>();
             dlg->m_pszKeyFingerprint =
                 u"3f2a91c07b1e44d2a8c35e60f1b9d7240c6e8a13b52f97d4e0a6c1385b7f2d9e";
             return std::unique_ptr<QWidget>(std::move(dlg));
           }},
      });
}
