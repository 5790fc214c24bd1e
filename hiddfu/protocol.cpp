#include "hiddfu/protocol.h"

#include <charconv>

namespace hiddfu {

std::string FirmwareVersion::ToString() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release) + "." +
         std::to_string(build);
}

std::optional<FirmwareVersion> FirmwareVersion::Parse(std::string_view text) {
  std::uint16_t parts[4] = {0, 0, 0, 0};
  int count = 0;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  while (true) {
    if (count == 4)
      return std::nullopt;
    auto [next, ec] = std::from_chars(p, end, parts[count]);
    if (ec != std::errc() || next == p)
      return std::nullopt;
    ++count;
    p = next;
    if (p == end)
      break;
    if (*p != '.')
      return std::nullopt;
    ++p;
  }
  return FirmwareVersion{parts[0], parts[1], parts[2], parts[3]};
}

}  // namespace hiddfu
