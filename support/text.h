// The conversions between the three kinds of text the tool handles:
//   UTF-8       everything exchanged with the service (std::string of UTF-8 bytes)
//   UTF-16      everything shown in windows (QString)
//   system code page   paths and messages for the device library and failure reports
//                      (std::string in the process locale's codeset, GBK on the systems
//                      the tool is made for)
// Nothing here throws except std::bad_alloc; the conversions are total.
#pragma once

#include <string>
#include <string_view>

#include <QString>

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
