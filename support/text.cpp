#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include "support/log.h"
#include "support/text.h"

namespace {

constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr char16_t kUtf16Replacement = u'\uFFFD';
constexpr std::string_view kNarrowReplacement = "?";

// One iconv conversion descriptor, closed when it goes out of scope.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok())
      iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// How many input bytes make up the character that the converter stopped at.
std::size_t UnreadableLength(std::string_view rest, bool fromUtf16) {
  if (!fromUtf16)
    return 1;  // resynchronise on the next byte
  if (rest.size() >= 4) {
    char16_t first = 0, second = 0;
    std::memcpy(&first, rest.data(), 2);
    std::memcpy(&second, rest.data() + 2, 2);
    if (first >= 0xD800 && first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF)
      return 4;
  }
  return rest.size() >= 2 ? 2 : rest.size();
}

// Converts between two codesets. What cannot be read or written becomes `replacement`
// (bytes of the target codeset) and the converter goes on behind it, so the result is
// always complete; a sequence cut off at the end becomes one replacement.
std::string Recode(std::string_view in, const std::string& from, const std::string& to,
                   std::string_view replacement) {
  std::string out;
  if (in.empty())
    return out;
  Iconv cd(to.c_str(), from.c_str());
  if (!cd.ok())
    return out;  // codesets are checked before they are kept; cannot happen
  const bool fromUtf16 = from.starts_with("UTF-16");

  char buffer[4096];
  std::string_view rest = in;
  while (!rest.empty()) {
    char* inPtr = const_cast<char*>(rest.data());
    std::size_t inLeft = rest.size();
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t rc = iconv(cd.get(), &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    rest.remove_prefix(rest.size() - inLeft);
    if (error == EILSEQ) {
      out.append(replacement);
      rest.remove_prefix(UnreadableLength(rest, fromUtf16));
    } else if (error == EINVAL) {
      out.append(replacement);
      break;
    }
    // E2BIG: the buffer was full; go round again.
  }
  char* outPtr = buffer;
  std::size_t outLeft = sizeof buffer;
  iconv(cd.get(), nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
  return out;
}

bool ConvertibleWithUtf16(const std::string& codeset) {
  return Iconv(codeset.c_str(), kUtf16).ok() && Iconv(kUtf16, codeset.c_str()).ok();
}

std::string CodesetOfEnvironmentLocale() {
  // newlocale reads LC_ALL, LC_CTYPE and LANG just as setlocale(LC_CTYPE, "") does, but
  // leaves the process locale alone. A locale that is not installed leaves "C" in force.
  locale_t locale = newlocale(LC_CTYPE_MASK, "", locale_t{});
  if (locale == locale_t{})
    locale = newlocale(LC_CTYPE_MASK, "C", locale_t{});
  std::string codeset = locale != locale_t{} ? nl_langinfo_l(CODESET, locale) : "ANSI_X3.4-1968";
  if (locale != locale_t{})
    freelocale(locale);
  return ConvertibleWithUtf16(codeset) ? codeset : "ANSI_X3.4-1968";
}

struct CodePageState {
  std::once_flag detected;
  std::mutex mutex;
  std::string codeset;
};

CodePageState& State() {
  static CodePageState state;
  return state;
}

std::string UntilNul(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

}  // namespace

void InitSystemCodePage() {
  CodePageState& state = State();
  std::call_once(state.detected, [&state] {
    std::string codeset = CodesetOfEnvironmentLocale();
    std::lock_guard lock(state.mutex);
    state.codeset = std::move(codeset);
  });
}

std::string SystemCodePage() {
  InitSystemCodePage();
  CodePageState& state = State();
  std::lock_guard lock(state.mutex);
  return state.codeset;
}

bool SetSystemCodePage(std::string codeset) {
  InitSystemCodePage();
  if (codeset.empty() || !ConvertibleWithUtf16(codeset))
    return false;
  CodePageState& state = State();
  std::lock_guard lock(state.mutex);
  state.codeset = std::move(codeset);
  return true;
}

QString Utf8ToWide(std::string_view utf8) {
  const std::string units =
      Recode(UntilNul(utf8), "UTF-8", kUtf16,
             std::string_view(reinterpret_cast<const char*>(&kUtf16Replacement), 2));
  return QString(reinterpret_cast<const QChar*>(units.data()),
                 static_cast<qsizetype>(units.size() / 2));
}

std::string CStringToAnsi(const QString& text) {
  const std::string_view units(reinterpret_cast<const char*>(text.utf16()),
                               static_cast<std::size_t>(text.size()) * 2);
  std::string ansi = Recode(units, kUtf16, SystemCodePage(), kNarrowReplacement);
  // The result is NUL-terminated text for its readers; the line shows what they will read.
  const std::size_t byteSize = ansi.size();
  ansi = UntilNul(ansi);
  LogLine("pChar=", ansi, ", charCount=", text.size(), ", byteSize=", byteSize);
  return ansi;
}

std::string AnsiToUtf8(std::string_view ansi) {
  return UntilNul(Recode(UntilNul(ansi), SystemCodePage(), "UTF-8", kUtf8Replacement));
}
