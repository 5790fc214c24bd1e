#include "hiddfu/payload_source.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace hiddfu {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

PayloadSource::PayloadSource(int fd, const ImageHeader& header, bool stream)
    : fd_(fd),
      stored_(header.StoredSize()),
      size_(stream ? header.StoredSize() : header.payloadSize),
      decodeHere_(header.Compressed() && !stream) {
  if (header.Compressed())
    decoder_.emplace(header.filter, header.dictionary, header.payloadSize);
}

bool PayloadSource::Fail(std::string why) {
  if (failure_.empty())
    failure_ = std::move(why);
  return false;
}

bool PayloadSource::Refill() {
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, stored_ - fileRead_));
  input_.resize(want);
  inputAt_ = 0;
  const std::uint64_t at = kImageHeaderSize + fileRead_;
  const long long got = ReadAt(fd_, input_.data(), want, at);
  // Nothing left to read counts as a failure too: the caller wanted more than there is.
  if (want == 0 || got < 0 || static_cast<std::size_t>(got) < want) {
    return Fail("firmware file read failed (byte " +
                std::to_string(at + static_cast<std::uint64_t>(std::max(got, 0LL))) + ")");
  }
  fileRead_ += want;
  return true;
}

bool PayloadSource::ReadStored(std::uint8_t* out, std::size_t n) {
  for (std::size_t done = 0; done < n;) {
    if (inputAt_ == input_.size() && !Refill())
      return false;
    const std::size_t part = std::min(n - done, input_.size() - inputAt_);
    std::memcpy(out + done, input_.data() + inputAt_, part);
    inputAt_ += part;
    done += part;
  }
  if (!decoder_) {
    sha_.Update(out, n);
    return true;
  }
  // The device decodes these; decoding them here too gives the digest of what it will hold.
  const auto result = decoder_->Feed(out, n, [&](const std::uint8_t* data, std::size_t size) {
    sha_.Update(data, size);
    return true;
  });
  if (result == StreamDecoder::Result::kFailed)
    return Fail("firmware file changed during the write: " + decoder_->Error());
  return true;
}

bool PayloadSource::ReadDecoded(std::uint8_t* out, std::size_t n) {
  for (std::size_t done = 0; done < n;) {
    if (inputAt_ == input_.size() && !Refill())
      return false;
    std::span<const std::uint8_t> in(input_.data() + inputAt_, input_.size() - inputAt_);
    std::size_t made = 0;
    const auto result = decoder_->Step(&in, out + done, n - done, &made);
    inputAt_ = input_.size() - in.size();
    if (result == StreamDecoder::Result::kFailed)
      return Fail("firmware file changed during the write: " + decoder_->Error());
    sha_.Update(out + done, made);
    done += made;
    if (result == StreamDecoder::Result::kEnd && done < n)
      return Fail("firmware file changed during the write: its compressed payload ends early");
  }
  return true;
}

bool PayloadSource::Read(std::uint8_t* out, std::size_t n) {
  return decodeHere_ ? ReadDecoded(out, n) : ReadStored(out, n);
}

Digest PayloadSource::PayloadDigest() {
  if (decoder_ && !decoder_->Finished())
    return {};  // the stream did not end where it should: no digest matches
  return sha_.Final();
}

}  // namespace hiddfu
