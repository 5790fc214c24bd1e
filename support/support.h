// Diagnostics and text support: the console log convention, the millisecond clock and the
// conversions between the three kinds of text the tool handles:
//   UTF-8       everything exchanged with the service (std::string of UTF-8 bytes)
//   UTF-16      everything shown in windows (QString)
//   system code page   paths and messages for the device library and failure reports
//                      (std::string in the process locale's codeset, GBK on the systems
//                      the tool is made for)
// Nothing here throws except std::bad_alloc; the conversions are total.
#pragma once

#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>
#include <type_traits>

#include <QString>

// ---- Log ---------------------------------------------------------------------------------
// A log line is a label followed by a value on standard output, ended by newline and flush.
// The label carries its own separators; values go out as their bytes, integers in decimal.
// Nothing is converted: a line that carries UTF-8 writes UTF-8, one that carries
// system-code-page text writes that.

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

// ---- Clock -------------------------------------------------------------------------------

// Wall-clock milliseconds since 1970-01-01 00:00:00 UTC; follows changes of the system time.
// Writes "time=" and the value.
std::int64_t NowMs();

// ---- System code page ----------------------------------------------------------------------

// Fixes the system code page from the locale environment (LC_ALL, LC_CTYPE, LANG), as
// setlocale(LC_CTYPE, "") would, without touching the process locale. Call it in main before
// the Qt application object exists: Qt replaces a non-UTF-8 LC_CTYPE with a UTF-8 one.
// Later calls keep the first answer. The conversions call it themselves if nobody has.
void InitSystemCodePage();

// The codeset that the conversions use as the system code page ("GBK", "UTF-8",
// "ANSI_X3.4-1968", ...).
std::string SystemCodePage();

// Replaces the system code page by a codeset that iconv knows ("GBK", "CP936", "UTF-8").
// Returns false, changing nothing, for a codeset that iconv cannot convert to and from.
bool SetSystemCodePage(std::string codeset);

// ---- Conversions ---------------------------------------------------------------------------
// Unmappable characters become '?' in the system code page; ill-formed input becomes U+FFFD
// in UTF-16 and UTF-8. Empty input gives empty output. Input that is "NUL-terminated text"
// ends at its first NUL byte.

// UTF-8 text (up to its first NUL) to UTF-16.
QString Utf8ToWide(std::string_view utf8);

// UTF-16 to system-code-page text; writes the line
// "pChar=" <text> ", charCount=" <UTF-16 units> ", byteSize=" <bytes>.
std::string CStringToAnsi(const QString& text);

// System-code-page text (up to its first NUL) to UTF-8.
std::string AnsiToUtf8(std::string_view ansi);

// The console output code page exists only where the process owns a console; a Linux
// process has none, so this does nothing and reports false.
bool SetConsoleOutputCodePage(unsigned codePage);

inline constexpr unsigned kCodePageUtf8 = 65001;
