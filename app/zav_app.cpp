#include "app/zav_app.h"

#include "app/zav_dlg.h"
#include "res/resources.h"

namespace {

// Qt keeps references to these for the life of the application object.
int g_argc = 1;
char* g_argv[2] = {nullptr, nullptr};

int& ProgramNameOnly(char* programName) {
  g_argv[0] = programName;
  return g_argc;
}

}  // namespace

CZavApp::CZavApp(char* programName) : QApplication(ProgramNameOnly(programName), g_argv) {}

bool CZavApp::InitInstance() {
  // The framework's settings key; the tool stores nothing under it.
  setOrganizationName(QStringLiteral("应用程序向导生成的本地应用程序"));
  InitZavResources();
  CZavDlg dlg;
  dlg.DoModal();  // the result is not examined
  return false;
}

int CZavApp::Run() {
  InitInstance();
  return 0;
}
