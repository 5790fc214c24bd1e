// A compressed payload: a raw LZMA2 stream (no container, the parameters are in the signed
// header), with a branch filter in front where the code's architecture has one, and a
// dictionary small enough for the dongle's RAM. Encoding and decoding stream through fixed
// buffers; the decoder never produces more than the bytes it was told to expect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace hiddfu {

enum class Method : std::uint8_t { kStored = 0, kLzma2 = 1 };
enum class BranchFilter : std::uint8_t { kNone = 0, kArmThumb = 1, kArm = 2, kArm64 = 3, kX86 = 4 };

// The largest dictionary an image may name: what a small dongle can hold while it decodes.
inline constexpr std::uint32_t kMaxDictionary = 64 * 1024;
inline constexpr std::uint32_t kMinDictionary = 4 * 1024;

// "arm-thumb", "arm", "arm64", "x86", "none".
std::optional<BranchFilter> ParseArch(std::string_view name);
const char* ArchName(BranchFilter filter);

// Where decoded or encoded bytes go; false stops the work (the sink's own failure).
using ByteSink = std::function<bool(const std::uint8_t* data, std::size_t size)>;

class StreamDecoder {
 public:
  enum class Result { kMore, kEnd, kFailed };

  // A decoder for a stream that must decode to exactly `expected` bytes.
  StreamDecoder(BranchFilter filter, std::uint32_t dictionary, std::uint64_t expected);
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  // Decodes from the front of `in` into at most `room` bytes at `out`, takes from `in` what
  // it used and says how many bytes it made; kMore when it wants more input or more room.
  Result Step(std::span<const std::uint8_t>* in, std::uint8_t* out, std::size_t room,
              std::size_t* made);
  // Decodes the next stored bytes into `out`. kEnd once the stream's end marker came and
  // exactly the expected bytes were produced; kFailed (see Error) for a damaged stream, one
  // that would expand beyond the expected bytes, bytes after its end, or a failing sink.
  Result Feed(const std::uint8_t* data, std::size_t size, const ByteSink& out);
  // Whether the stream ended where it should; else says why (it was cut short).
  bool Finished();
  const std::string& Error() const { return error_; }
  std::uint64_t Produced() const { return produced_; }

 private:
  Result Failed(std::string why);
  struct State;
  std::unique_ptr<State> state_;
  std::uint64_t expected_;
  std::uint64_t produced_ = 0;
  bool ended_ = false;
  std::string error_;
};

class StreamEncoder {
 public:
  StreamEncoder(BranchFilter filter, std::uint32_t dictionary);
  ~StreamEncoder();
  StreamEncoder(const StreamEncoder&) = delete;
  StreamEncoder& operator=(const StreamEncoder&) = delete;

  bool Feed(const std::uint8_t* data, std::size_t size, const ByteSink& out);
  bool Finish(const ByteSink& out);  // writes the end marker
  const std::string& Error() const { return error_; }

 private:
  bool Run(const std::uint8_t* data, std::size_t size, bool finish, const ByteSink& out);
  struct State;
  std::unique_ptr<State> state_;
  std::string error_;
};

}  // namespace hiddfu
