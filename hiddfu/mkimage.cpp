// zav-mkimage: wraps a firmware payload into an image file that the update library
// accepts, or shows the header of an existing image.
//
//   zav-mkimage --version 1.2.0.7 PAYLOAD IMAGE       wrap the file PAYLOAD
//   zav-mkimage --version 1.2.0.7 --fill SIZE IMAGE   wrap SIZE pseudo-random bytes (K/M suffix)
//   zav-mkimage --inspect IMAGE                       check an image and print its header
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hiddfu/image.h"

namespace {

int Usage() {
  std::fputs(
      "usage: zav-mkimage --version MAJOR.MINOR.RELEASE.BUILD PAYLOAD IMAGE\n"
      "       zav-mkimage --version MAJOR.MINOR.RELEASE.BUILD --fill SIZE[K|M] IMAGE\n"
      "       zav-mkimage --inspect IMAGE\n",
      stderr);
  return 2;
}

bool ParseSize(std::string_view text, std::uint64_t* size) {
  std::uint64_t unit = 1;
  if (!text.empty() && (text.back() == 'K' || text.back() == 'k'))
    unit = 1024;
  if (!text.empty() && (text.back() == 'M' || text.back() == 'm'))
    unit = 1024 * 1024;
  if (unit != 1)
    text.remove_suffix(1);
  if (text.empty() || text.size() > 12)
    return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *size = value * unit;
  return *size > 0;
}

std::string Hex(const hiddfu::Digest& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : d) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

int Inspect(const std::string& path) {
  std::string error;
  auto image = hiddfu::CheckImageFile(path, &error);
  if (!image) {
    std::fprintf(stderr, "zav-mkimage: %s\n", error.c_str());
    return 1;
  }
  std::printf("format %u\nversion %s\npayload %u bytes\nsha256 %s\n",
              static_cast<unsigned>(image->header.formatVersion),
              image->header.version.ToString().c_str(), image->header.payloadSize,
              Hex(image->header.sha256).c_str());
  return 0;
}

int WrapFile(hiddfu::FirmwareVersion version, const std::string& payloadPath,
             const std::string& out) {
  hiddfu::FileDescriptor in(open(payloadPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!in || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "zav-mkimage: cannot read payload %s: %s\n", payloadPath.c_str(),
                 in ? "not a regular file" : std::strerror(errno));
    return 1;
  }
  struct stat target {};
  if (stat(out.c_str(), &target) == 0 && target.st_dev == st.st_dev && target.st_ino == st.st_ino) {
    std::fprintf(stderr, "zav-mkimage: the image would overwrite its payload %s\n",
                 payloadPath.c_str());
    return 1;
  }
  std::string error;
  const bool ok = hiddfu::WriteImage(
      out, version, static_cast<std::uint64_t>(st.st_size),
      [&](std::uint8_t* data, std::size_t want) {
        std::size_t got = 0;
        while (got < want) {
          const ssize_t n = read(in.get(), data + got, want - got);
          if (n < 0 && errno == EINTR)
            continue;
          if (n <= 0)
            break;
          got += static_cast<std::size_t>(n);
        }
        return got;
      },
      &error);
  if (!ok) {
    std::fprintf(stderr, "zav-mkimage: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<hiddfu::FirmwareVersion> version;
  std::optional<std::uint64_t> fill;
  std::string inspect;
  std::string positional[2];
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version" && i + 1 < argc) {
      version = hiddfu::FirmwareVersion::Parse(argv[++i]);
      if (!version) {
        std::fprintf(stderr, "zav-mkimage: bad version '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "--fill" && i + 1 < argc) {
      std::uint64_t size = 0;
      if (!ParseSize(argv[++i], &size)) {
        std::fprintf(stderr, "zav-mkimage: bad size '%s'\n", argv[i]);
        return 2;
      }
      fill = size;
    } else if (arg == "--inspect" && i + 1 < argc) {
      inspect = argv[++i];
    } else if (!arg.starts_with("--") && count < 2) {
      positional[count++] = std::string(arg);
    } else {
      return Usage();
    }
  }
  if (!inspect.empty())
    return (version || fill || count) ? Usage() : Inspect(inspect);
  if (!version)
    return Usage();
  if (fill) {
    if (count != 1)
      return Usage();
    std::string error;
    if (!hiddfu::WriteFilledImage(positional[0], *version, *fill, 1, &error)) {
      std::fprintf(stderr, "zav-mkimage: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (count != 2)
    return Usage();
  return WrapFile(*version, positional[0], positional[1]);
}
