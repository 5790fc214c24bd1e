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
          {"about_box", [] { return std::unique_ptr<QWidget>(std::make_unique<CAboutDlg>()); }},
      });
}
