#include "service/firmware_file.h"

#include <unistd.h>

#include <array>
#include <cstring>

#include "support/log.h"

namespace {

constexpr char kMagic[4] = {'M', 'R', 'L', 'F'};
constexpr std::size_t kVersionAt = 8;  // four little-endian 16-bit numbers
constexpr std::size_t kVersionEnd = kVersionAt + 8;

// The first bytes of the file, as many as it holds up to `n`.
template <std::size_t n>
std::optional<std::array<unsigned char, n>> ReadStart(int fd) {
  std::array<unsigned char, n> bytes{};
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = pread(fd, bytes.data() + got, n - got, static_cast<off_t>(got));
    if (r <= 0)
      return std::nullopt;
    got += static_cast<std::size_t>(r);
  }
  return bytes;
}

std::uint16_t Get16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::optional<ImageVersion> HeaderVersion(int fd) {
  const auto start = ReadStart<kVersionEnd>(fd);
  if (!start || std::memcmp(start->data(), kMagic, sizeof kMagic) != 0)
    return std::nullopt;
  const unsigned char* v = start->data() + kVersionAt;
  return ImageVersion{Get16(v), Get16(v + 2), Get16(v + 4), Get16(v + 6)};
}

}  // namespace

std::string ImageVersion::ToString() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release) + "." +
         std::to_string(build);
}

std::optional<std::int32_t> ServiceVersionOf(const ImageVersion& v) {
  if (v.minor > 99 || v.release > 99 || v.build > 99)
    return std::nullopt;
  const std::int64_t value =
      v.major * 1'000'000LL + v.minor * 10'000LL + v.release * 100LL + v.build;
  if (value > INT32_MAX)
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

bool IsFirmwareImage(int fd) {
  const auto start = ReadStart<sizeof kMagic>(fd);
  return start && std::memcmp(start->data(), kMagic, sizeof kMagic) == 0;
}

void LogLongerThanAnnounced(const AnnouncedFile& announced) {
  LogLine("download refused: fileSize=", announced.fileSize, ", the file holds more bytes");
}

bool IsAnnouncedFile(int fd, std::uint64_t length, const AnnouncedFile& announced) {
  if (announced.fileSize < 0 || length != static_cast<std::uint64_t>(announced.fileSize)) {
    LogLine("download refused: fileSize=", announced.fileSize, ", the file holds ", length,
            " bytes");
    return false;
  }
  const std::optional<ImageVersion> version = HeaderVersion(fd);
  if (!version) {
    LogLine("download refused: version=", announced.version, ", the file is no firmware image");
    return false;
  }
  if (ServiceVersionOf(*version) != announced.version) {
    LogLine("download refused: version=", announced.version, ", the image is ",
            version->ToString());
    return false;
  }
  return true;
}
