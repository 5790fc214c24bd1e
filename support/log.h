// The console log convention: a log line is a label followed by a value on standard
// output, ended by newline and flush. The label carries its own separators; values go out as
// their bytes, integers in decimal. Nothing is converted: a line that carries UTF-8 writes
// UTF-8, one that carries system-code-page text writes that. Writing never fails for the
// caller.
#pragma once

#include <cstdint>
#include <iostream>
#include <type_traits>

namespace zav::detail {
template <typename T>
void WriteLogPart(std::ostream& out, const T& part) {
  // Byte-sized integers would otherwise be written as characters.
  if constexpr (std::is_same_v<T, std::int8_t> || std::is_same_v<T, std::uint8_t>) {
    out << static_cast<int>(part);
  } else {
    out << part;
  }
}
}  // namespace zav::detail

template <typename... Parts>
void LogLine(const Parts&... parts) {
  (zav::detail::WriteLogPart(std::cout, parts), ...);
  std::cout << std::endl;
  // A closed or broken standard output is no error, and must not silence the lines after it.
  std::cout.clear();
}

// Makes standard output safe to log to, whatever it is: SIGPIPE is ignored, so a reader that
// has gone turns writes into errors instead of ending the process; and each of the standard
// descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that no file or socket the
// tool opens later takes its number and receives log lines. Call it first in main.
void PrepareStandardStreams();

// The console output code page exists only where the process owns a console; a Linux
// process has none, so this does nothing and reports false.
bool SetConsoleOutputCodePage(unsigned codePage);

inline constexpr unsigned kCodePageUtf8 = 65001;
