#include "hiddfu/image.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hiddfu {
namespace {

constexpr std::uint8_t kMagic[4] = {'M', 'R', 'L', 'F'};
constexpr std::size_t kChunk = 64 * 1024;

// Header layout (little-endian).
constexpr std::size_t kFormatAt = 4;
constexpr std::size_t kHeaderSizeAt = 6;
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kPayloadSizeAt = 16;
constexpr std::size_t kProductAt = 20;
constexpr std::size_t kHardwareAt = 22;
constexpr std::size_t kCounterAt = 24;
constexpr std::size_t kFlagsAt = 28;
// Format 3 in place of the header size and the flags.
constexpr std::size_t kCompressionAt = 6;  // method in bits 0-3, branch filter in bits 4-7
constexpr std::size_t kDictionaryAt = 7;   // log2 of its size; 0 when stored
constexpr std::size_t kStoredSizeAt = 28;
constexpr std::size_t kDigestAt = 32;
constexpr std::size_t kSignatureAt = kSignedHeaderSize;

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
  return text;
}

// The checks of the first bytes, which a file too short for a whole header may fail first.
std::optional<std::string> LeadInProblem(std::span<const std::uint8_t> b) {
  if (b.size() >= sizeof kMagic && std::memcmp(b.data(), kMagic, sizeof kMagic) != 0)
    return "bad magic";
  if (b.size() >= kFormatAt + 2) {
    const std::uint16_t format = Get16(&b[kFormatAt]);
    if (format == 1)
      return "unsupported format version 1 (an unsigned image)";
    if (format != kImageFormatVersion && format != kCompressedFormatVersion)
      return "unsupported format version " + std::to_string(format);
  }
  return std::nullopt;
}

// What the requirements say of a header whose signature has been checked.
std::optional<std::string> RequirementProblem(const ImageHeader& h, const ImageRequirements& r) {
  if (r.product && h.product != *r.product) {
    return "image not for this device: it is made for product " + Hex4(h.product) +
           ", the device is product " + Hex4(*r.product);
  }
  if (r.hardwareRevision && h.hardwareRevision != *r.hardwareRevision) {
    return "image not for this device: it is made for hardware revision " +
           std::to_string(h.hardwareRevision) + ", the device is revision " +
           std::to_string(*r.hardwareRevision);
  }
  if (h.securityCounter < r.securityCounter) {
    return "image refused: its security counter " + std::to_string(h.securityCounter) +
           " is below the device's " + std::to_string(r.securityCounter) +
           " (a downgrade the device does not allow)";
  }
  return std::nullopt;
}

std::string Describe(int err) {
  const char* text = strerrordesc_np(err);  // English whatever the locale says
  return text ? text : "error " + std::to_string(err);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

class FilledPayload {
 public:
  explicit FilledPayload(std::uint32_t seed) : state_(seed ? seed : 0x9E3779B9u) {}
  void Fill(std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 17;
      state_ ^= state_ << 5;
      data[i] = static_cast<std::uint8_t>(state_ >> 24);
    }
  }

 private:
  std::uint32_t state_;
};

// The format 3 fields: a method and filter this library knows, a dictionary a small device
// can hold, and a stored length that fits what it claims to hold.
std::optional<std::string> DecodeCompression(std::span<const std::uint8_t, kImageHeaderSize> b,
                                             ImageHeader* h) {
  const unsigned method = b[kCompressionAt] & 0x0F;
  const unsigned filter = b[kCompressionAt] >> 4;
  const unsigned dictionaryLog = b[kDictionaryAt];
  h->storedSize = Get32(&b[kStoredSizeAt]);
  if (method > static_cast<unsigned>(Method::kLzma2))
    return "unknown compression method " + std::to_string(method);
  if (filter > static_cast<unsigned>(BranchFilter::kX86))
    return "unknown branch filter " + std::to_string(filter);
  h->method = static_cast<Method>(method);
  h->filter = static_cast<BranchFilter>(filter);
  if (h->method == Method::kStored) {
    if (filter != 0 || dictionaryLog != 0 || h->storedSize != Get32(&b[kPayloadSizeAt]))
      return std::string("a stored payload with compression fields");
    return std::nullopt;
  }
  if (dictionaryLog < 12 || dictionaryLog > 16)
    return "dictionary of 2^" + std::to_string(dictionaryLog) + " bytes (at most 64 KiB)";
  h->dictionary = 1u << dictionaryLog;
  if (h->storedSize == 0)
    return std::string("empty compressed payload");
  return std::nullopt;
}

}  // namespace

long long ReadAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return -1;
    if (n == 0)
      break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long long>(done);
}

struct Sha256::Context {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : ctx_(std::make_unique<Context>()) {
  Reset();
}
Sha256::~Sha256() = default;
void Sha256::Reset() {
  EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr);
}
void Sha256::Update(const void* data, std::size_t size) {
  EVP_DigestUpdate(ctx_->md, data, size);
}
Digest Sha256::Final() {
  Digest d{};
  unsigned int size = 0;
  EVP_DigestFinal_ex(ctx_->md, d.data(), &size);
  Reset();
  return d;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0)
    close(fd_);
}
FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      close(fd_);
    fd_ = other.release();
  }
  return *this;
}

HeaderBytes EncodeHeader(const ImageHeader& header) {
  HeaderBytes b{};
  std::memcpy(b.data(), kMagic, sizeof kMagic);
  Put16(&b[kFormatAt], header.format);
  if (header.format >= kCompressedFormatVersion) {
    b[kCompressionAt] = static_cast<std::uint8_t>(static_cast<unsigned>(header.method) |
                                                  static_cast<unsigned>(header.filter) << 4);
    b[kDictionaryAt] =
        header.dictionary ? static_cast<std::uint8_t>(std::bit_width(header.dictionary) - 1) : 0;
    Put32(&b[kStoredSizeAt], header.storedSize);
  } else {
    Put16(&b[kHeaderSizeAt], kImageHeaderSize);
    Put32(&b[kFlagsAt], 0);
  }
  PutVersion(&b[kVersionAt], header.version);
  Put32(&b[kPayloadSizeAt], header.payloadSize);
  Put16(&b[kProductAt], header.product);
  Put16(&b[kHardwareAt], header.hardwareRevision);
  Put32(&b[kCounterAt], header.securityCounter);
  std::memcpy(&b[kDigestAt], header.sha256.data(), header.sha256.size());
  std::memcpy(&b[kSignatureAt], header.signature.data(), header.signature.size());
  return b;
}

HeaderBytes SignHeader(ImageHeader header, const SigningKey& key) {
  HeaderBytes b = EncodeHeader(header);
  header.signature = key.Sign(std::span(b.data(), kSignedHeaderSize));
  std::memcpy(&b[kSignatureAt], header.signature.data(), header.signature.size());
  return b;
}

std::optional<ImageHeader> DecodeHeader(std::span<const std::uint8_t, kImageHeaderSize> b,
                                        std::string* why) {
  auto fail = [&](std::string reason) -> std::optional<ImageHeader> {
    if (why)
      *why = std::move(reason);
    return std::nullopt;
  };
  if (auto problem = LeadInProblem(b))
    return fail(*problem);
  ImageHeader h;
  h.format = Get16(&b[kFormatAt]);
  if (h.format >= kCompressedFormatVersion) {
    if (auto problem = DecodeCompression(b, &h))
      return fail(*problem);
  } else {
    if (Get16(&b[kHeaderSizeAt]) != kImageHeaderSize)
      return fail("unexpected header size " + std::to_string(Get16(&b[kHeaderSizeAt])));
    if (Get32(&b[kFlagsAt]) != 0)
      return fail("unknown flags");
  }
  h.version = GetVersion(&b[kVersionAt]);
  h.payloadSize = Get32(&b[kPayloadSizeAt]);
  h.product = Get16(&b[kProductAt]);
  h.hardwareRevision = Get16(&b[kHardwareAt]);
  h.securityCounter = Get32(&b[kCounterAt]);
  if (h.payloadSize == 0)
    return fail("empty payload");
  std::memcpy(h.sha256.data(), &b[kDigestAt], h.sha256.size());
  std::memcpy(h.signature.data(), &b[kSignatureAt], h.signature.size());
  return h;
}

bool SignedBy(std::span<const std::uint8_t, kImageHeaderSize> b, const PublicKey& key) {
  Signature signature{};
  std::memcpy(signature.data(), &b[kSignatureAt], signature.size());
  return VerifySignature(key, b.first<kSignedHeaderSize>(), signature);
}

namespace {

// The file opened for the checks: regular, readable, not one that can block the caller.
std::optional<std::string> OpenImage(const std::string& path, const std::string& shown,
                                     FileDescriptor* fd, std::uint64_t* size) {
  // Non-blocking, so that a FIFO or a device node cannot hold the caller in open().
  *fd = FileDescriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!*fd) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR)
      return "firmware file not found: " + shown;
    if (err == EACCES)
      return "firmware file not readable (permission denied): " + shown;
    return "cannot open firmware file " + shown + ": " + Describe(err);
  }
  struct stat st {};
  if (fstat(fd->get(), &st) != 0)
    return "cannot open firmware file " + shown + ": " + Describe(errno);
  if (!S_ISREG(st.st_mode))
    return "firmware file is not a regular file: " + shown;
  *size = static_cast<std::uint64_t>(st.st_size);
  return std::nullopt;
}

// The header: who signed it before anything it says is believed, then what it says.
std::optional<std::string> ReadHeader(int fd, const std::string& shown,
                                      const ImageRequirements& requirements, HeaderBytes* raw,
                                      ImageHeader* header) {
  const long long got = ReadAt(fd, raw->data(), raw->size(), 0);
  if (got < 0)
    return "cannot read firmware file " + shown + ": " + Describe(errno);
  if (auto problem = LeadInProblem(std::span(raw->data(), static_cast<std::size_t>(got))))
    return "image header invalid: " + *problem + ": " + shown;
  if (got < static_cast<long long>(raw->size()))
    return "image header invalid: the file holds only " + std::to_string(got) + " bytes: " + shown;
  if (requirements.trustedKey && !SignedBy(*raw, *requirements.trustedKey))
    return "image signature invalid: the image is not signed with the key this tool trusts: " +
           shown;
  std::string why;
  const auto decoded = DecodeHeader(*raw, &why);
  if (!decoded)
    return "image header invalid: " + why + ": " + shown;
  if (auto problem = RequirementProblem(*decoded, requirements))
    return *problem + ": " + shown;
  *header = *decoded;
  return std::nullopt;
}

// Sizes before the digest: hashing what a header claims could take seconds.
std::optional<std::string> SizeProblem(const ImageHeader& h, std::uint64_t fileSize,
                                       const ImageRequirements& requirements,
                                       const std::string& shown) {
  if (h.payloadSize > requirements.maxPayload) {
    return "image too large for the device: " + std::to_string(h.payloadSize) +
           " bytes, a firmware slot holds " + std::to_string(requirements.maxPayload);
  }
  const std::uint64_t present = fileSize - kImageHeaderSize;
  const std::uint32_t stored = h.StoredSize();
  const char* what =
      h.Compressed() ? " compressed payload bytes present: " : " payload bytes present: ";
  if (present < stored)
    return "image truncated: " + std::to_string(present) + " of " + std::to_string(stored) + what +
           shown;
  if (present > stored) {
    return "image invalid: " + std::to_string(present - stored) +
           " bytes follow the payload: " + shown;
  }
  return std::nullopt;
}

// The payload as the slot will hold it, decoded where it is stored compressed, hashed.
std::optional<std::string> HashPayload(int fd, const ImageHeader& h, const std::string& shown,
                                       Digest* digest) {
  Sha256 sha;
  std::optional<StreamDecoder> decoder;
  if (h.Compressed())
    decoder.emplace(h.filter, h.dictionary, h.payloadSize);
  const ByteSink hash = [&](const std::uint8_t* data, std::size_t n) {
    sha.Update(data, n);
    return true;
  };
  std::vector<std::uint8_t> buffer(kChunk);
  const std::uint32_t stored = h.StoredSize();
  for (std::uint64_t offset = 0; offset < stored;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, stored - offset));
    const long long n = ReadAt(fd, buffer.data(), want, kImageHeaderSize + offset);
    if (n < 0)
      return "cannot read firmware file " + shown + ": " + Describe(errno);
    if (static_cast<std::size_t>(n) < want)
      return "firmware file changed while it was being checked: " + shown;
    if (!decoder)
      hash(buffer.data(), want);
    else if (decoder->Feed(buffer.data(), want, hash) == StreamDecoder::Result::kFailed)
      break;
    offset += want;
  }
  if (decoder && !decoder->Finished())
    return "image corrupt: its compressed payload does not decode: " + decoder->Error() + ": " +
           shown;
  *digest = sha.Final();
  return std::nullopt;
}

}  // namespace

std::optional<CheckedImage> CheckImageFile(const std::string& path, std::string* error,
                                           const ImageRequirements& requirements,
                                           const std::string& shownPath) {
  const std::string& shown = shownPath.empty() ? path : shownPath;
  auto fail = [&](std::string message) -> std::optional<CheckedImage> {
    if (error)
      *error = std::move(message);
    return std::nullopt;
  };
  CheckedImage image;
  std::uint64_t fileSize = 0;
  if (auto problem = OpenImage(path, shown, &image.file, &fileSize))
    return fail(*problem);
  if (auto problem =
          ReadHeader(image.file.get(), shown, requirements, &image.headerBytes, &image.header))
    return fail(*problem);
  if (auto problem = SizeProblem(image.header, fileSize, requirements, shown))
    return fail(*problem);
  Digest digest{};
  if (auto problem = HashPayload(image.file.get(), image.header, shown, &digest))
    return fail(*problem);
  if (digest != image.header.sha256)
    return fail("image corrupt: the payload does not match the SHA-256 in its header: " + shown);
  return image;
}

namespace {

// The payload after the header, compressed where the header says so; sets its sizes and
// digest. On failure says why.
std::optional<std::string> WritePayload(
    int fd, const std::string& outPath,
    const std::function<std::size_t(std::uint8_t*, std::size_t)>& readPayload,
    ImageHeader* header) {
  std::uint64_t stored = 0;
  const ByteSink store = [&](const std::uint8_t* data, std::size_t n) {
    stored += n;
    return WriteAll(fd, data, n);
  };
  std::optional<StreamEncoder> encoder;
  if (header->Compressed())
    encoder.emplace(header->filter, header->dictionary);
  Sha256 sha;
  std::vector<std::uint8_t> buffer(kChunk);
  for (std::uint64_t done = 0; done < header->payloadSize;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, header->payloadSize - done));
    const std::size_t got = readPayload(buffer.data(), want);
    if (got != want)
      return std::string("the payload ended early");
    sha.Update(buffer.data(), got);
    if (encoder ? !encoder->Feed(buffer.data(), got, store) : !store(buffer.data(), got))
      return "cannot write " + outPath + ": " + (encoder ? encoder->Error() : Describe(errno));
    done += got;
  }
  if (encoder && !encoder->Finish(store))
    return "cannot write " + outPath + ": " + encoder->Error();
  if (stored > UINT32_MAX)
    return std::string("the compressed payload is larger than 4 GiB");
  header->storedSize = static_cast<std::uint32_t>(stored);
  header->sha256 = sha.Final();
  return std::nullopt;
}

}  // namespace

bool WriteImage(const std::string& outPath, const ImageHeader& fields, std::uint64_t payloadSize,
                const std::function<std::size_t(std::uint8_t*, std::size_t)>& readPayload,
                const Signer& sign, std::string* error) {
  auto fail = [&](std::string message) {
    if (error)
      *error = std::move(message);
    return false;
  };
  if (payloadSize == 0)
    return fail("the payload is empty");
  if (payloadSize > UINT32_MAX)
    return fail("the payload is larger than 4 GiB");
  // Written beside the target and renamed into place: no half-written image at the path.
  std::string temp = outPath + ".tmp-XXXXXX";
  FileDescriptor fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd)
    return fail("cannot create " + outPath + ": " + Describe(errno));
  struct Cleanup {
    std::string* path;
    ~Cleanup() {
      if (path)
        unlink(path->c_str());
    }
  } cleanup{&temp};

  // The header goes first as a placeholder; its digest is known once the payload is out.
  ImageHeader header = fields;
  header.payloadSize = static_cast<std::uint32_t>(payloadSize);
  HeaderBytes placeholder{};
  if (!WriteAll(fd.get(), placeholder.data(), placeholder.size()))
    return fail("cannot write " + outPath + ": " + Describe(errno));
  if (auto problem = WritePayload(fd.get(), outPath, readPayload, &header))
    return fail(*problem);
  HeaderBytes bytes = EncodeHeader(header);
  const std::optional<Signature> signature =
      sign(std::span(bytes.data(), kSignedHeaderSize), error);
  if (!signature)
    return false;
  std::memcpy(&bytes[kSignatureAt], signature->data(), signature->size());
  if (pwrite(fd.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
      fchmod(fd.get(), 0644) != 0 || close(fd.release()) != 0) {
    return fail("cannot write " + outPath + ": " + Describe(errno));
  }
  if (rename(temp.c_str(), outPath.c_str()) != 0) {
    return fail("cannot create " + outPath + ": " + Describe(errno));
  }
  cleanup.path = nullptr;
  return true;
}

bool WriteFilledImage(const std::string& outPath, const ImageHeader& fields, std::uint64_t size,
                      std::uint32_t seed, const Signer& sign, std::string* error) {
  FilledPayload payload(seed);
  return WriteImage(
      outPath, fields, size,
      [&](std::uint8_t* data, std::size_t want) {
        payload.Fill(data, want);
        return want;
      },
      sign, error);
}

Digest FilledPayloadDigest(std::uint64_t size, std::uint32_t seed) {
  FilledPayload payload(seed);
  Sha256 sha;
  std::vector<std::uint8_t> buffer(kChunk);
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - done));
    payload.Fill(buffer.data(), n);
    sha.Update(buffer.data(), n);
    done += n;
  }
  return sha.Final();
}

std::string MakeImageBytes(std::string_view payload, const ImageHeader& fields,
                           const SigningKey& key) {
  ImageHeader header = fields;
  header.payloadSize = static_cast<std::uint32_t>(payload.size());
  Sha256 sha;
  sha.Update(payload.data(), payload.size());
  header.sha256 = sha.Final();
  const HeaderBytes bytes = SignHeader(header, key);
  std::string image(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  image.append(payload);
  return image;
}

}  // namespace hiddfu
