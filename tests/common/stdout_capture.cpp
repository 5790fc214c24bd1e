#include "tests/common/stdout_capture.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <fcntl.h>
#include <unistd.h>

StdoutCapture::StdoutCapture() {
  std::cout.flush();
  std::fflush(stdout);
  char name[] = "/tmp/zav-stdout-XXXXXX";
  fileFd_ = mkstemp(name);
  if (fileFd_ < 0)
    std::abort();
  unlink(name);
  savedFd_ = dup(STDOUT_FILENO);
  dup2(fileFd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  Stop();
}

std::string StdoutCapture::Stop() {
  if (savedFd_ < 0)
    return text_;
  std::cout.flush();
  std::fflush(stdout);
  dup2(savedFd_, STDOUT_FILENO);
  close(savedFd_);
  savedFd_ = -1;
  text_ = Peek();
  close(fileFd_);
  fileFd_ = -1;
  return text_;
}

std::string StdoutCapture::Peek() const {
  if (fileFd_ < 0)
    return text_;
  std::string text;
  char buffer[8192];
  ssize_t n = 0;
  off_t offset = 0;
  while ((n = pread(fileFd_, buffer, sizeof buffer, offset)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::size_t CountLines(const std::string& text, const std::string& line) {
  std::size_t n = 0;
  for (const std::string& l : SplitLines(text))
    n += l == line ? 1 : 0;
  return n;
}

QuietStdout::QuietStdout() {
  std::cout.flush();
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
}

QuietStdout::~QuietStdout() {
  std::cout.flush();
  std::fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
}
