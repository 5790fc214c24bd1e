// zav-mkimage: wraps a firmware payload into an image file signed with a private key, or
// shows the header of an existing image.
//
//   zav-mkimage --key KEY --version 1.2.0.7 [FIELDS] PAYLOAD IMAGE      wrap the file PAYLOAD
//   zav-mkimage --key KEY --version 1.2.0.7 [FIELDS] --fill SIZE IMAGE  SIZE pseudo-random bytes
//   zav-mkimage --inspect IMAGE [--pubkey PUBLIC]                        check and print a header
//
// FIELDS: --product ID, --hardware REVISION, --counter N (the security counter).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
      "usage: zav-mkimage --key PRIVATE.pem --version MAJOR.MINOR.RELEASE.BUILD [FIELDS] PAYLOAD "
      "IMAGE\n"
      "       zav-mkimage --key PRIVATE.pem --version MAJOR.MINOR.RELEASE.BUILD [FIELDS] "
      "--fill SIZE[K|M] IMAGE\n"
      "       zav-mkimage --inspect IMAGE [--pubkey PUBLIC.pem]\n"
      "FIELDS: --product ID (default 0x0001), --hardware REVISION (default 1), "
      "--counter N (security counter, default 0)\n",
      stderr);
  return 2;
}

// A number in decimal or 0x-hexadecimal, at most `max`.
bool ParseNumber(const char* text, std::uint64_t max, std::uint64_t* value) {
  if (*text == '\0' || *text == '-' || *text == '+' || *text == ' ')
    return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || v > max)
    return false;
  *value = v;
  return true;
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

int Inspect(const std::string& path, const std::string& publicKeyPath) {
  std::string error;
  hiddfu::ImageRequirements requirements;
  if (!publicKeyPath.empty()) {
    requirements.trustedKey = hiddfu::LoadPublicKey(publicKeyPath, &error);
    if (!requirements.trustedKey) {
      std::fprintf(stderr, "zav-mkimage: %s\n", error.c_str());
      return 1;
    }
  }
  auto image = hiddfu::CheckImageFile(path, &error, requirements);
  if (!image) {
    std::fprintf(stderr, "zav-mkimage: %s\n", error.c_str());
    return 1;
  }
  const hiddfu::ImageHeader& h = image->header;
  std::printf(
      "format %u\nversion %s\nproduct 0x%04X\nhardware revision %u\nsecurity counter %u\n"
      "payload %u bytes\nsha256 %s\nsignature %s\n",
      static_cast<unsigned>(hiddfu::kImageFormatVersion), h.version.ToString().c_str(),
      static_cast<unsigned>(h.product), static_cast<unsigned>(h.hardwareRevision),
      static_cast<unsigned>(h.securityCounter), h.payloadSize, Hex(h.sha256).c_str(),
      publicKeyPath.empty() ? "not checked (no --pubkey)" : "valid");
  return 0;
}

int WrapFile(const hiddfu::ImageHeader& fields, const hiddfu::SigningKey& key,
             const std::string& payloadPath, const std::string& out) {
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
      out, fields, static_cast<std::uint64_t>(st.st_size),
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
      key, &error);
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
  hiddfu::ImageHeader fields;
  std::string keyPath, publicKeyPath, inspect;
  std::string positional[2];
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    std::uint64_t number = 0;
    auto field = [&](std::uint64_t max) {
      if (ParseNumber(argv[++i], max, &number))
        return true;
      std::fprintf(stderr, "zav-mkimage: bad %s '%s'\n", argv[i - 1] + 2, argv[i]);
      return false;
    };
    if (arg == "--version" && hasValue) {
      version = hiddfu::FirmwareVersion::Parse(argv[++i]);
      if (!version) {
        std::fprintf(stderr, "zav-mkimage: bad version '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "--fill" && hasValue) {
      std::uint64_t size = 0;
      if (!ParseSize(argv[++i], &size)) {
        std::fprintf(stderr, "zav-mkimage: bad size '%s'\n", argv[i]);
        return 2;
      }
      fill = size;
    } else if (arg == "--product" && hasValue) {
      if (!field(UINT16_MAX))
        return 2;
      fields.product = static_cast<std::uint16_t>(number);
    } else if (arg == "--hardware" && hasValue) {
      if (!field(UINT16_MAX))
        return 2;
      fields.hardwareRevision = static_cast<std::uint16_t>(number);
    } else if (arg == "--counter" && hasValue) {
      if (!field(UINT32_MAX))
        return 2;
      fields.securityCounter = static_cast<std::uint32_t>(number);
    } else if (arg == "--key" && hasValue) {
      keyPath = argv[++i];
    } else if (arg == "--pubkey" && hasValue) {
      publicKeyPath = argv[++i];
    } else if (arg == "--inspect" && hasValue) {
      inspect = argv[++i];
    } else if (!arg.starts_with("--") && count < 2) {
      positional[count++] = std::string(arg);
    } else {
      return Usage();
    }
  }
  if (!inspect.empty()) {
    return (version || fill || count || !keyPath.empty()) ? Usage()
                                                          : Inspect(inspect, publicKeyPath);
  }
  if (!version || keyPath.empty() || !publicKeyPath.empty() || count != (fill ? 1 : 2))
    return Usage();
  fields.version = *version;
  std::string error;
  const auto key = hiddfu::SigningKey::Load(keyPath, &error);
  if (!key) {
    std::fprintf(stderr, "zav-mkimage: %s\n", error.c_str());
    return 1;
  }
  if (fill) {
    if (!hiddfu::WriteFilledImage(positional[0], fields, *fill, 1, *key, &error)) {
      std::fprintf(stderr, "zav-mkimage: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  return WrapFile(fields, *key, positional[0], positional[1]);
}
