// The application object: runs the main dialog modally; the program ends when it closes.
#pragma once

#include <QApplication>

class CZavApp : public QApplication {
 public:
  // The tool takes no command line: only the program name reaches Qt.
  explicit CZavApp(char* programName);

  // Runs the main dialog modally. Returns false: the program ends without a message loop
  // of its own.
  bool InitInstance();

  // InitInstance, then the process's exit status.
  int Run();
};
