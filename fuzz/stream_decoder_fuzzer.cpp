// Arbitrary bytes as a compressed payload, with any branch filter, dictionary and expected
// size, fed in pieces of any size into output room of any size, as the host's check, the
// host's decoding for a dongle without a decoder and the dongle's decoding as data arrives
// all use it. The decoder must never give more bytes than it was told to expect nor more
// than the room offered, end only with exactly the expected bytes, and once failed stay so.
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "hiddfu/compression.h"

using fuzz::Require;
using Result = hiddfu::StreamDecoder::Result;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const auto filter = static_cast<hiddfu::BranchFilter>(in.Byte() % 6);  // 5: none such
  const std::uint32_t dictionary = 1u << (11 + in.Byte() % 7);           // 2 KiB .. 128 KiB
  const std::uint64_t expected = in.U32() % (1 << 20);
  const std::uint8_t pieces = in.Byte();
  hiddfu::StreamDecoder decoder(filter, dictionary, expected);
  const std::size_t header = size - in.Left();
  std::span<const std::uint8_t> stream(data + header, size - header);
  std::vector<std::uint8_t> out(4096);
  bool failed = false;
  bool ended = false;
  std::size_t step = 0;
  while (!stream.empty() && !failed) {
    // Pieces and room from the first bytes' bits: small ones find the edge cases.
    const std::size_t take =
        std::min<std::size_t>(stream.size(), 1 + ((pieces >> (step % 4)) & 7) * 97);
    const std::size_t room = 1 + ((pieces * 7 + step) % out.size());
    std::span<const std::uint8_t> piece = stream.first(take);
    std::size_t made = 0;
    const Result result = decoder.Step(&piece, out.data(), room, &made);
    Require(made <= room, "more bytes than the room offered");
    Require(decoder.Produced() <= expected || result == Result::kFailed,
            "more bytes than expected, not failed");
    Require(result != Result::kEnd || decoder.Produced() == expected, "ended short");
    stream = stream.subspan(take - piece.size());
    failed = result == Result::kFailed;
    ended = result == Result::kEnd;
    ++step;
    if (result == Result::kMore && made == 0 && piece.size() == take && step > 64)
      break;  // no progress: the decoder waits for more of what it cannot use
  }
  const bool finished = decoder.Finished();
  Require(!finished || (ended && decoder.Produced() == expected), "finished without its end");
  if (failed) {
    std::span<const std::uint8_t> more(data, size);
    std::size_t made = 0;
    Require(decoder.Step(&more, out.data(), out.size(), &made) == Result::kFailed && made == 0,
            "a failed decoder went on");
  }
  return 0;
}
