// Writing the slot as the data arrives: the payload as it comes, or the image's stream
// through the decoder. The erase goes as you go: START waits only for the first block; the
// block after the one being written is erased when the data first reaches that one, while
// the transfer goes on. The flash does one thing at a time, so the content is written at
// once but the time is kept: each report taken is done when the flash and the decoder have
// got through everything before it, and the OUT endpoint takes no more while the receive
// buffer holds kReceiveBuffer bytes not done yet.
#include <algorithm>
#include <array>

#include "dongle/simulated_device.h"

namespace dongle {
namespace proto = hiddfu::proto;

namespace {

constexpr std::size_t kBufferedReports = VirtualDongle::kReceiveBuffer / proto::kDataPayload;

}  // namespace

bool Device::BufferFull(Clock::time_point now) const {
  const auto done = std::upper_bound(buffered.begin(), buffered.end(), now);
  return static_cast<std::size_t>(buffered.end() - done) >= kBufferedReports;
}

Clock::time_point Device::BufferFreesAt(Clock::time_point now) const {
  const auto next = std::upper_bound(buffered.begin(), buffered.end(), now);
  return next == buffered.end() ? now : *next;
}

bool Device::TakesForm(proto::Form form, const hiddfu::ImageHeader& header) const {
  if (form == proto::Form::kPayload)
    return true;
  return form == proto::Form::kStream &&
         hiddfu::Decodes(header, DecoderMethods(), decoder.filters, decoder.dictionary);
}

unsigned Device::DecoderMethods() const {
  return decoder.lzma2 ? 1u << static_cast<unsigned>(hiddfu::Method::kLzma2) : 0;
}

bool Device::Program(const std::uint8_t* bytes, std::size_t n, Clock::time_point* t) {
  const std::uint64_t block = BlockBytes();
  const std::uint64_t slotEnd = (static_cast<std::uint64_t>(slotBytes) + block - 1) / block * block;
  const std::uint64_t end = written + n;
  // The block these bytes land in, and the one after it, erased before they are written.
  const std::uint64_t wanted = std::min(((end + block - 1) / block + 1) * block, slotEnd);
  while (erasedTo < wanted) {
    flash[staged].Erase(erasedTo, block);
    erasedTo += block;
    *t += FlashTimes().eraseBlock;
  }
  std::array<std::uint8_t, 4 * proto::kDataPayload> copy;
  for (std::size_t done = 0; done < n;) {
    const std::size_t part = std::min(copy.size(), n - done);
    std::copy_n(bytes + done, part, copy.begin());
    const std::uint64_t at = written + done;
    if (faults.flipStoredByte && *faults.flipStoredByte >= at &&
        *faults.flipStoredByte < at + part) {
      copy[*faults.flipStoredByte - at] ^= 0x01;
      faults.flipStoredByte.reset();
    }
    flash[staged].Write(at, copy.data(), part);
    done += part;
  }
  written = end;
  return true;
}

void Device::StoreData(const proto::Data& data, std::size_t n) {
  const auto now = Clock::now();
  if (expected == 0)
    timeline.firstData = now;
  timeline.lastData = now;
  while (!buffered.empty() && buffered.front() <= now)
    buffered.pop_front();
  Clock::time_point t = std::max(now, flashFreeAt);
  const hiddfu::ByteSink program = [&](const std::uint8_t* bytes, std::size_t size) {
    return Program(bytes, size, &t);
  };
  if (!streamDecoder) {
    program(data.payload.data(), n);
  } else if (!badStream) {
    const std::uint64_t before = streamDecoder->Produced();
    badStream = streamDecoder->Feed(data.payload.data(), n, program) ==
                hiddfu::StreamDecoder::Result::kFailed;
    const std::uint64_t made = streamDecoder->Produced() - before;
    if (timing != VirtualDongle::Timing::kInstant && decoder.bytesPerSecond > 0) {
      t += std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(made) / decoder.bytesPerSecond));
    }
  }
  flashFreeAt = t;
  buffered.push_back(t);
}

}  // namespace dongle
