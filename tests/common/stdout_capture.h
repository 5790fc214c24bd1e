// Captures what the process writes to standard output (file descriptor 1), through both
// std::cout and printf, for tests that check log lines.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class StdoutCapture {
 public:
  StdoutCapture();   // starts capturing
  ~StdoutCapture();  // stops, if Stop() was not called
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // What has reached standard output so far, without flushing anything first: shows whether
  // the writer flushed.
  std::string Peek() const;

  // Stops capturing and returns everything written since construction.
  std::string Stop();

 private:
  int savedFd_ = -1;
  int fileFd_ = -1;
  std::string text_;
};

// Sends standard output to /dev/null while it lives: for code that logs a great deal (whole
// answers, the tool's start-up) where the log is not what is tested or measured.
class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

// Splits captured text into lines, without their newlines.
std::vector<std::string> SplitLines(const std::string& text);

// How many lines of captured text are exactly line.
std::size_t CountLines(const std::string& text, const std::string& line);
inline bool HasLine(const std::string& text, const std::string& line) {
  return CountLines(text, line) > 0;
}
