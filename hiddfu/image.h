// The firmware image file: a 64-byte header followed by the payload (docs/image-format.md).
// Reading checks everything the header promises before a device is touched; writing
// streams, so neither side holds a whole image in memory.
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

#include "hiddfu/protocol.h"

namespace hiddfu {

using Digest = std::array<std::uint8_t, 32>;

inline constexpr std::size_t kImageHeaderSize = 64;
inline constexpr std::uint16_t kImageFormatVersion = 1;

struct ImageHeader {
  std::uint16_t formatVersion = kImageFormatVersion;
  FirmwareVersion version;
  std::uint32_t payloadSize = 0;
  Digest sha256{};
};

// The 64 header bytes, with the header check filled in.
std::array<std::uint8_t, kImageHeaderSize> EncodeHeader(const ImageHeader& header);

// Parses and checks header bytes; on failure returns nullopt and says why in `why`
// ("bad magic", "unsupported format version 2", "header checksum mismatch", ...).
std::optional<ImageHeader> DecodeHeader(std::span<const std::uint8_t, kImageHeaderSize> bytes,
                                        std::string* why);

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

// An image file that passed every check: open, readable, header valid, exactly as long
// as the header says, payload matching its SHA-256.
struct CheckedImage {
  FileDescriptor file;
  ImageHeader header;
};

// Checks the image file at `path` (bytes as given, no conversion). On failure returns
// nullopt and a message in `error` that names the file and the problem, in English; the
// file is named as `shownPath`, or as `path` when that is empty. A header that claims more
// than `maxPayload` bytes is refused before the payload is read.
std::optional<CheckedImage> CheckImageFile(const std::string& path, std::string* error,
                                           std::uint64_t maxPayload = UINT32_MAX,
                                           const std::string& shownPath = {});

// Writes an image of `payloadSize` bytes taken from `readPayload` (called with a buffer and
// the number of bytes wanted, returns how many it gave: fewer means the payload ended
// early, which is an error). Streams through a fixed buffer into a file beside `outPath`
// that is renamed into place once complete.
bool WriteImage(const std::string& outPath, FirmwareVersion version, std::uint64_t payloadSize,
                const std::function<std::size_t(std::uint8_t*, std::size_t)>& readPayload,
                std::string* error);

// Writes an image whose payload is `size` deterministic pseudo-random bytes from `seed`.
bool WriteFilledImage(const std::string& outPath, FirmwareVersion version, std::uint64_t size,
                      std::uint32_t seed, std::string* error);

// A whole image in memory, for small test images.
std::string MakeImageBytes(std::string_view payload, FirmwareVersion version);

// The payload of WriteFilledImage, for checking what a device received.
Digest FilledPayloadDigest(std::uint64_t size, std::uint32_t seed);

}  // namespace hiddfu
