// Paths arrive in the system code page (the codeset of the locale the environment names,
// GBK under zh_CN.GBK); file names on this system are made in UTF-8. The library opens a
// file by the converted name and names it in its texts as the caller gave it.
#pragma once

#include <string>

namespace hiddfu {

// The name to open `codePagePath` by; the bytes as given when the code page is UTF-8 or
// ASCII, or when they are no text of the code page.
std::string FileSystemPath(const std::string& codePagePath);

}  // namespace hiddfu
