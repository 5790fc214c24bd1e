#include "hiddfu/sender.h"

#include <algorithm>
#include <cstring>

namespace hiddfu {
namespace {

using std::chrono::milliseconds;

constexpr int kStallRounds = 8;   // reply periods without any acknowledged progress
constexpr int kWaitSliceMs = 20;  // longest wait between looks at the cancel flag
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kMostHandledAtOnce = 256;

}  // namespace

GoBackNSender::GoBackNSender(Link& link, PayloadSource& source, std::uint32_t window, int replyMs)
    : link_(link),
      source_(source),
      size_(source.Size()),
      total_(static_cast<std::uint32_t>(
          (static_cast<std::uint64_t>(size_) + proto::kDataPayload - 1) / proto::kDataPayload)),
      window_(std::clamp<std::uint32_t>(window, 1, proto::kMaxWindow)),
      replyMs_(replyMs),
      buffer_(kReadChunk + proto::kMaxWindow * proto::kDataPayload) {}

bool GoBackNSender::ReadPayload(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
  if (offset + n > bufferStart_ + bufferLength_ && !Refill())
    return false;
  std::memcpy(out, buffer_.data() + (offset - bufferStart_), n);
  return true;
}

// Drops what the device has acknowledged and reads the payload's next bytes behind the rest.
bool GoBackNSender::Refill() {
  const std::uint64_t keepFrom = static_cast<std::uint64_t>(base_) * proto::kDataPayload;
  const std::size_t dropped = static_cast<std::size_t>(keepFrom - bufferStart_);
  std::memmove(buffer_.data(), buffer_.data() + dropped, bufferLength_ - dropped);
  bufferStart_ = keepFrom;
  bufferLength_ -= dropped;
  const std::uint64_t end = bufferStart_ + bufferLength_;
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(buffer_.size() - bufferLength_, size_ - end));
  if (!source_.Read(buffer_.data() + bufferLength_, want))
    return false;
  bufferLength_ += want;
  return true;
}

// Handles whatever the device has sent; false when it is gone.
bool GoBackNSender::Drain(int timeoutMs, const Acked& acked) {
  proto::Report r;
  int rc = link_.Receive(r, timeoutMs);
  for (int handled = 0; rc > 0 && handled < kMostHandledAtOnce; ++handled) {
    const std::optional<proto::Acknowledgement> ack = proto::DecodeAcknowledgement(r);
    const std::uint32_t k = ack ? ack->next : 0;
    if (ack && !ack->nak && k > base_ && k <= sent_) {
      base_ = k;
      next_ = std::max(next_, base_);
      quietRounds_ = 0;
      Rearm();
      acked(
          std::min<std::uint64_t>(static_cast<std::uint64_t>(base_) * proto::kDataPayload, size_));
    } else if (ack && ack->nak && k >= base_ && k <= sent_) {
      base_ = k;
      next_ = k;
      Rearm();
    }
    rc = link_.Receive(r, 0);
  }
  return rc >= 0;
}

GoBackNSender::Result GoBackNSender::Run(const std::atomic<bool>& cancel, const Acked& acked) {
  Rearm();
  while (base_ < total_) {
    if (cancel)
      return Result::kCancelled;
    if (next_ < total_ && next_ - base_ < window_) {
      proto::Data data;
      data.sequence = static_cast<std::uint8_t>(next_ % proto::kSequenceModulus);
      const std::uint64_t offset = static_cast<std::uint64_t>(next_) * proto::kDataPayload;
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(proto::kDataPayload, size_ - offset));
      if (!ReadPayload(offset, data.payload.data(), n))
        return Result::kReadFailed;
      switch (link_.Send(proto::Encode(data))) {
        case Link::Sent::kOk:
          break;
        case Link::Sent::kGone:
          return Result::kGone;
        case Link::Sent::kStuck:
          return Result::kStalled;
      }
      sent_ = std::max(sent_, ++next_);
      if (!Drain(0, acked))
        return Result::kGone;
      continue;
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline_ - Clock::now()).count();
    if (!Drain(static_cast<int>(std::clamp<long long>(left, 0, kWaitSliceMs)), acked))
      return Result::kGone;
    if (base_ < total_ && Clock::now() >= deadline_) {
      if (++quietRounds_ > kStallRounds)
        return Result::kStalled;
      next_ = base_;  // nothing heard for a while: send the window again
      Rearm();
    }
  }
  return Result::kDone;
}

}  // namespace hiddfu
