#include "hiddfu/code_page.h"

#include <cerrno>
#include <memory>
#include <string_view>

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

namespace hiddfu {
namespace {

// Read from the environment as setlocale(LC_CTYPE, "") would, not from the process locale:
// a GUI toolkit may have switched that to UTF-8 although the system code page is not.
std::string SystemCodeset() {
  const locale_t locale = newlocale(LC_CTYPE_MASK, "", locale_t{});
  if (locale == locale_t{})
    return "ANSI_X3.4-1968";
  std::string codeset = nl_langinfo_l(CODESET, locale);
  freelocale(locale);
  return codeset;
}

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

}  // namespace

std::string FileSystemPath(const std::string& codePagePath) {
  static const std::string codeset = SystemCodeset();
  if (codeset == "UTF-8" || codeset == "ANSI_X3.4-1968")
    return codePagePath;
  const iconv_t cd = iconv_open("UTF-8", codeset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    return codePagePath;
  const std::unique_ptr<void, IconvCloser> closer(cd);
  std::string out(codePagePath.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(codePagePath.data());
  std::size_t inLeft = codePagePath.size();
  char* to = out.data();
  std::size_t toLeft = out.size();
  if (iconv(cd, &in, &inLeft, &to, &toLeft) == static_cast<std::size_t>(-1))
    return codePagePath;
  out.resize(out.size() - toLeft);
  return out;
}

}  // namespace hiddfu
