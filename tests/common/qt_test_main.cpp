// GoogleTest main for tests that need a Qt application object. The system code page is
// fixed before the application object exists, as the tool's own main does.
#include <gtest/gtest.h>
#include <QApplication>

#include "support/text.h"

int main(int argc, char** argv) {
  InitSystemCodePage();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
