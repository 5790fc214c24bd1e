// The bytes the data reports carry, read from the image file once each and in order: the
// payload as the file stores it, the file's compressed stream as it is (for a device that
// decodes it), or that stream decoded here (for one that does not). Whichever it is, the
// payload as the slot will hold it is hashed on the way, so that the digest the header signed
// can be checked against what was really sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hiddfu/compression.h"
#include "hiddfu/image.h"

namespace hiddfu {

class PayloadSource {
 public:
  // `fd` holds the image with `header`; `stream`: send its stored stream undecoded.
  PayloadSource(int fd, const ImageHeader& header, bool stream);

  std::uint32_t Size() const { return size_; }  // the bytes it gives in all
  // Exactly the next `n` bytes; false when the file cannot be read or decoded.
  bool Read(std::uint8_t* out, std::size_t n);
  // After a failed Read: what went wrong, naming the file byte.
  const std::string& Failure() const { return failure_; }
  // Once every byte was read: the SHA-256 of the payload as the slot holds it.
  Digest PayloadDigest();

 private:
  bool Fail(std::string why);
  bool Refill();  // the next part of the file into input_
  bool ReadDecoded(std::uint8_t* out, std::size_t n);
  bool ReadStored(std::uint8_t* out, std::size_t n);

  int fd_;
  std::uint32_t stored_;  // bytes after the header in the file
  std::uint32_t size_;
  bool decodeHere_;                       // give the decoded payload
  std::optional<StreamDecoder> decoder_;  // of a compressed image, either way
  std::vector<std::uint8_t> input_;
  std::size_t inputAt_ = 0;
  std::uint64_t fileRead_ = 0;  // stored bytes read from the file so far
  Sha256 sha_;
  std::string failure_;
};

}  // namespace hiddfu
