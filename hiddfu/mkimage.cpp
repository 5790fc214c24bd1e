// zav-mkimage: wraps a firmware payload into an image file signed with a private key, or
// shows the header of an existing image. A developer's tool, never installed with zav.
//
//   zav-mkimage SIGNER --version 1.2.0.7 [FIELDS] PAYLOAD IMAGE       wrap the file PAYLOAD
//   zav-mkimage SIGNER --version 1.2.0.7 [FIELDS] --fill SIZE IMAGE   SIZE pseudo-random bytes
//   zav-mkimage --inspect IMAGE [--pubkey PUBLIC]                      check and print a header
//
// SIGNER: --key KEY [--passphrase-file FILE | --passphrase-fd N], or --sign-with COMMAND
// --pubkey PUBLIC (another program signs; the signature is checked with PUBLIC).
// FIELDS: --product ID, --hardware REVISION, --counter N (the security counter); --compress
// [--arch ARCH] stores the payload as an LZMA2 stream (format 3), with the branch filter of
// ARCH (arm-thumb, arm, arm64, x86; default none) in front.
#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

#include "hiddfu/external_signer.h"
#include "hiddfu/image.h"

namespace {

int Usage() {
  std::fputs(
      "usage: zav-mkimage SIGNER --version MAJOR.MINOR.RELEASE.BUILD [FIELDS] PAYLOAD IMAGE\n"
      "       zav-mkimage SIGNER --version MAJOR.MINOR.RELEASE.BUILD [FIELDS] --fill SIZE[K|M] "
      "IMAGE\n"
      "       zav-mkimage --inspect IMAGE [--pubkey PUBLIC.pem]\n"
      "SIGNER: --key PRIVATE.pem [--passphrase-file FILE | --passphrase-fd N] [--pubkey "
      "PUBLIC.pem]\n"
      "        --sign-with COMMAND --pubkey PUBLIC.pem  (COMMAND gets the bytes to sign on its "
      "input and answers the 64-byte signature)\n"
      "FIELDS: --product ID (default 0x0001), --hardware REVISION (default 1), "
      "--counter N (security counter, default 0),\n"
      "        --compress [--arch arm-thumb|arm|arm64|x86|none] (an LZMA2 stream, 64 KiB "
      "dictionary)\n",
      stderr);
  return 2;
}

int Fail(const std::string& error) {
  std::fprintf(stderr, "zav-mkimage: %s\n", error.c_str());
  return 1;
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
    if (!requirements.trustedKey)
      return Fail(error);
  }
  auto image = hiddfu::CheckImageFile(path, &error, requirements);
  if (!image)
    return Fail(error);
  const hiddfu::ImageHeader& h = image->header;
  std::printf(
      "format %u\nversion %s\nproduct 0x%04X\nhardware revision %u\nsecurity counter %u\n"
      "payload %u bytes\nsha256 %s\nsignature %s\n",
      static_cast<unsigned>(h.format), h.version.ToString().c_str(),
      static_cast<unsigned>(h.product), static_cast<unsigned>(h.hardwareRevision),
      static_cast<unsigned>(h.securityCounter), h.payloadSize, Hex(h.sha256).c_str(),
      publicKeyPath.empty() ? "not checked (no --pubkey)" : "valid");
  if (h.Compressed()) {
    std::printf(
        "compression lzma2, branch filter %s, dictionary %u KiB\nstored %u bytes\n"
        "compression ratio %.3f\n",
        hiddfu::ArchName(h.filter), h.dictionary / 1024, h.storedSize,
        static_cast<double>(h.storedSize) / h.payloadSize);
  }
  return 0;
}

int WrapFile(const hiddfu::ImageHeader& fields, const hiddfu::Signer& sign,
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
      sign, &error);
  return ok ? 0 : Fail(error);
}

// The first line of what `fd` holds, as openssl reads a passphrase from a file or a
// descriptor. A passphrase never comes from the command line, where other users see it.
std::optional<std::string> ReadPassphrase(int fd, const std::string& from, std::string* error) {
  std::string text;
  char buffer[256];
  while (text.size() < 4096) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *error = "cannot read the passphrase from " + from + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0)
      break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  text.resize(std::min(text.find('\n'), text.size()));
  if (!text.empty() && text.back() == '\r')
    text.pop_back();
  return text;
}

struct Options {
  std::optional<hiddfu::FirmwareVersion> version;
  std::optional<std::uint64_t> fill;
  hiddfu::ImageHeader fields;
  std::string keyPath, publicKeyPath, inspect, signWith, passphraseFile;
  std::optional<int> passphraseFd;
  bool compress = false;
  std::optional<hiddfu::BranchFilter> arch;
  std::string positional[2];
  int count = 0;
};

// Where an option that takes a plain text keeps it; nullptr for any other.
std::string* TextOption(std::string_view arg, Options& o) {
  const std::pair<std::string_view, std::string*> options[] = {
      {"--key", &o.keyPath},
      {"--pubkey", &o.publicKeyPath},
      {"--inspect", &o.inspect},
      {"--sign-with", &o.signWith},
      {"--passphrase-file", &o.passphraseFile}};
  for (const auto& [name, text] : options) {
    if (arg == name)
      return text;
  }
  return nullptr;
}

// One option and its value; false, having said why, for a bad value. `known`: it was one.
bool TakeOption(std::string_view arg, const char* value, Options& o, bool* known) {
  *known = true;
  std::uint64_t number = 0;
  const auto field = [&](std::uint64_t max) {
    if (ParseNumber(value, max, &number))
      return true;
    std::fprintf(stderr, "zav-mkimage: bad %s '%s'\n", arg.data() + 2, value);
    return false;
  };
  if (arg == "--version") {
    o.version = hiddfu::FirmwareVersion::Parse(value);
    if (!o.version)
      std::fprintf(stderr, "zav-mkimage: bad version '%s'\n", value);
    return o.version.has_value();
  }
  if (arg == "--fill") {
    std::uint64_t size = 0;
    if (!ParseSize(value, &size)) {
      std::fprintf(stderr, "zav-mkimage: bad size '%s'\n", value);
      return false;
    }
    o.fill = size;
  } else if (arg == "--product" || arg == "--hardware") {
    if (!field(UINT16_MAX))
      return false;
    (arg == "--product" ? o.fields.product : o.fields.hardwareRevision) =
        static_cast<std::uint16_t>(number);
  } else if (arg == "--counter") {
    if (!field(UINT32_MAX))
      return false;
    o.fields.securityCounter = static_cast<std::uint32_t>(number);
  } else if (arg == "--arch") {
    o.arch = hiddfu::ParseArch(value);
    if (!o.arch)
      std::fprintf(stderr, "zav-mkimage: no branch filter for '%s'\n", value);
    return o.arch.has_value();
  } else if (arg == "--passphrase-fd") {
    if (!field(INT_MAX))
      return false;
    o.passphraseFd = static_cast<int>(number);
  } else if (std::string* text = TextOption(arg, o)) {
    *text = value;
  } else {
    *known = false;
  }
  return true;
}

// The command line in `o`: 0, else the exit status of a bad one.
int Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    bool known = false;
    if (arg == "--compress") {
      o.compress = true;
      continue;
    }
    if (arg.starts_with("--") && i + 1 < argc) {
      if (!TakeOption(arg, argv[i + 1], o, &known))
        return 2;
      if (known) {
        ++i;
        continue;
      }
    }
    if (arg.starts_with("--") || o.count == 2)
      return Usage();
    o.positional[o.count++] = std::string(arg);
  }
  const bool passphrase = !o.passphraseFile.empty() || o.passphraseFd;
  if (!o.inspect.empty()) {
    return (o.version || o.fill || o.count || !o.keyPath.empty() || !o.signWith.empty() ||
            passphrase || o.compress || o.arch)
               ? Usage()
               : 0;
  }
  const bool oneSigner = o.keyPath.empty() != o.signWith.empty();
  const bool signerComplete = o.signWith.empty() ? true : !o.publicKeyPath.empty() && !passphrase;
  const bool onePassphrase = o.passphraseFile.empty() || !o.passphraseFd;
  if (!o.version || !oneSigner || (o.arch && !o.compress) || !signerComplete || !onePassphrase ||
      o.count != (o.fill ? 1 : 2))
    return Usage();
  return 0;
}

// The key from its file, decrypted with the passphrase given.
std::optional<hiddfu::SigningKey> LoadKey(const Options& o, std::string* error) {
  std::optional<std::string> passphrase;
  if (!o.passphraseFile.empty()) {
    hiddfu::FileDescriptor file(open(o.passphraseFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
      *error = "cannot read " + o.passphraseFile + ": " + std::strerror(errno);
      return std::nullopt;
    }
    passphrase = ReadPassphrase(file.get(), o.passphraseFile, error);
  } else if (o.passphraseFd) {
    passphrase =
        ReadPassphrase(*o.passphraseFd, "descriptor " + std::to_string(*o.passphraseFd), error);
  }
  if ((!o.passphraseFile.empty() || o.passphraseFd) && !passphrase)
    return std::nullopt;
  auto key = hiddfu::SigningKey::Load(o.keyPath, error, passphrase);
  if (passphrase)
    OPENSSL_cleanse(passphrase->data(), passphrase->size());
  return key;
}

// `sign`, its every signature checked with the public key: a signer that used another key
// (or answered anything else) makes no image.
hiddfu::Signer Checked(hiddfu::Signer sign, const hiddfu::PublicKey& key, std::string pubkey) {
  return hiddfu::Signer([sign = std::move(sign), key, pubkey = std::move(pubkey)](
                            std::span<const std::uint8_t> message, std::string* error) {
    std::optional<hiddfu::Signature> signature = sign(message, error);
    if (signature && !hiddfu::VerifySignature(key, message, *signature)) {
      *error = "the signature does not verify with " + pubkey + ": it was made with another key";
      signature.reset();
    }
    return signature;
  });
}

int Make(const Options& o) {
  std::string error;
  std::optional<hiddfu::SigningKey> key;
  if (o.signWith.empty()) {
    key = LoadKey(o, &error);
    if (!key)
      return Fail(error);
  }
  hiddfu::Signer sign = key ? hiddfu::Signer(*key) : hiddfu::ExternalSigner(o.signWith);
  if (!o.publicKeyPath.empty()) {
    const auto publicKey = hiddfu::LoadPublicKey(o.publicKeyPath, &error);
    if (!publicKey)
      return Fail(error);
    sign = Checked(std::move(sign), *publicKey, o.publicKeyPath);
  }
  hiddfu::ImageHeader fields = o.fields;
  fields.version = *o.version;
  if (o.compress) {
    fields.format = hiddfu::kCompressedFormatVersion;
    fields.method = hiddfu::Method::kLzma2;
    fields.filter = o.arch.value_or(hiddfu::BranchFilter::kNone);
    fields.dictionary = hiddfu::kMaxDictionary;
  }
  if (o.fill) {
    return hiddfu::WriteFilledImage(o.positional[0], fields, *o.fill, 1, sign, &error)
               ? 0
               : Fail(error);
  }
  return WrapFile(fields, sign, o.positional[0], o.positional[1]);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int status = Parse(argc, argv, options); status != 0)
    return status;
  if (!options.inspect.empty())
    return Inspect(options.inspect, options.publicKeyPath);
  return Make(options);
}
