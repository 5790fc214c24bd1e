// The firmware image file: a 128-byte signed header followed by the payload
// (docs/image-format.md). Reading checks everything the header promises, and who signed it,
// before a device is touched; writing streams, so neither side holds a whole image in memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "hiddfu/compression.h"
#include "hiddfu/protocol.h"
#include "hiddfu/signature.h"

namespace hiddfu {

using Digest = std::array<std::uint8_t, 32>;

inline constexpr std::size_t kImageHeaderSize = 128;
inline constexpr std::size_t kSignedHeaderSize = 64;  // the signature covers bytes 0..63
inline constexpr std::uint16_t kImageFormatVersion = 2;
// Format 3: the payload may be stored compressed (docs/image-format.md).
inline constexpr std::uint16_t kCompressedFormatVersion = 3;
// The product id of the Marlo dongle, and the hardware revision images are made for unless
// told otherwise.
inline constexpr std::uint16_t kMarloDongle = 0x0001;
inline constexpr std::uint16_t kDefaultHardwareRevision = 1;

using HeaderBytes = std::array<std::uint8_t, kImageHeaderSize>;
static_assert(kImageHeaderSize == proto::kHeaderParts * proto::kHeaderPartSize);

struct ImageHeader {
  FirmwareVersion version;
  std::uint32_t payloadSize = 0;
  std::uint16_t product = kMarloDongle;
  std::uint16_t hardwareRevision = kDefaultHardwareRevision;
  // A device refuses an image whose counter is below that of the image it runs.
  std::uint32_t securityCounter = 0;
  Digest sha256{};        // of the payload as it lies in the slot, decoded
  Signature signature{};  // Ed25519, over header bytes 0..63
  // Format 3 only: how the file stores the payload, and how many bytes that takes.
  std::uint16_t format = kImageFormatVersion;
  Method method = Method::kStored;
  BranchFilter filter = BranchFilter::kNone;
  std::uint32_t dictionary = 0;
  std::uint32_t storedSize = 0;

  bool Compressed() const { return method != Method::kStored; }
  // The bytes that follow the header in the file.
  std::uint32_t StoredSize() const {
    return format >= kCompressedFormatVersion ? storedSize : payloadSize;
  }
};

// Whether a decoder of these methods and branch filters (a bit per Method and BranchFilter)
// and this largest dictionary decodes the image's stored stream.
inline bool Decodes(const ImageHeader& h, unsigned methods, unsigned filters,
                    std::uint32_t dictionary) {
  return h.method == Method::kLzma2 && (methods & (1u << static_cast<unsigned>(h.method))) &&
         (filters & (1u << static_cast<unsigned>(h.filter))) && h.dictionary <= dictionary;
}

// Reads up to `size` bytes at `offset`, fewer only where the file ends; the count, or -1
// (errno says why).
long long ReadAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset);

// The header bytes, the signature as the header holds it.
HeaderBytes EncodeHeader(const ImageHeader& header);
// The header with its signature made by `key`.
HeaderBytes SignHeader(ImageHeader header, const SigningKey& key);

// Parses header bytes: magic, format version, header size, flags, a payload. It does not
// check the signature: see SignedBy. On failure returns nullopt and says why in `why` ("bad
// magic", "unsupported format version 1", ...).
std::optional<ImageHeader> DecodeHeader(std::span<const std::uint8_t, kImageHeaderSize> bytes,
                                        std::string* why);
// Whether the signature in the header bytes is `key`'s over bytes 0..63.
bool SignedBy(std::span<const std::uint8_t, kImageHeaderSize> bytes, const PublicKey& key);

// SHA-256, incrementally.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Reset();
  void Update(const void* data, std::size_t size);
  Digest Final();  // also resets

 private:
  struct Context;
  std::unique_ptr<Context> ctx_;
};

// A file descriptor, closed with its owner.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// What an image must be to go to a device: signed by the trusted key, made for the device's
// product and hardware revision, not below its security counter, and no larger than a slot.
// An empty key skips the signature check (inspecting an image, not writing it).
struct ImageRequirements {
  std::optional<PublicKey> trustedKey;
  std::optional<std::uint16_t> product;
  std::optional<std::uint16_t> hardwareRevision;
  std::uint32_t securityCounter = 0;
  std::uint64_t maxPayload = UINT32_MAX;
};

// An image file that passed every check: open, readable, header valid and signed, made for
// the device, exactly as long as the header says, payload matching its SHA-256.
struct CheckedImage {
  FileDescriptor file;
  ImageHeader header;
  HeaderBytes headerBytes{};
};

// Checks the image file at `path` (bytes as given, no conversion). On failure returns
// nullopt and a message in `error` that names the file and the problem, in English; the
// file is named as `shownPath`, or as `path` when that is empty. A header that claims more
// than the requirements' maximum is refused before the payload is read.
std::optional<CheckedImage> CheckImageFile(const std::string& path, std::string* error,
                                           const ImageRequirements& requirements = {},
                                           const std::string& shownPath = {});

// Writes an image with the fields of `fields` (all but its sizes and digest; with a method
// other than kStored, format 3 and the payload compressed so) and a payload
// of `payloadSize` bytes taken from `readPayload` (called with a buffer and the number of
// bytes wanted, returns how many it gave: fewer means the payload ended early, which is an
// error), signed by `sign`. Streams through a fixed buffer into a file beside `outPath` that
// is renamed into place once complete.
bool WriteImage(const std::string& outPath, const ImageHeader& fields, std::uint64_t payloadSize,
                const std::function<std::size_t(std::uint8_t*, std::size_t)>& readPayload,
                const Signer& sign, std::string* error);

// Writes an image whose payload is `size` deterministic pseudo-random bytes from `seed`.
bool WriteFilledImage(const std::string& outPath, const ImageHeader& fields, std::uint64_t size,
                      std::uint32_t seed, const Signer& sign, std::string* error);

// The payload of WriteFilledImage, for checking what a device received.
Digest FilledPayloadDigest(std::uint64_t size, std::uint32_t seed);

// A whole image in memory, for small test images.
std::string MakeImageBytes(std::string_view payload, const ImageHeader& fields,
                           const SigningKey& key);

// ---- Images signed with the build's demo key, for the demo, the tests and the benchmarks
// (demo_key.cpp; no part of the update library). They are made for the Marlo dongle at the
// default hardware revision, security counter 0.

// The demo key pair the build made (build/<preset>/signing/); the virtual dongle and the
// demo tool trust its public key.
const SigningKey& DemoSigningKey();
bool WriteFilledImage(const std::string& outPath, FirmwareVersion version, std::uint64_t size,
                      std::uint32_t seed, std::string* error);
std::string MakeImageBytes(std::string_view payload, FirmwareVersion version);

}  // namespace hiddfu
