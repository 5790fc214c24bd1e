#include "hiddfu/compression.h"

#include <lzma.h>
#include <array>

namespace hiddfu {
namespace {

constexpr std::size_t kOutChunk = 16 * 1024;

struct ArchEntry {
  BranchFilter filter;
  const char* name;
  lzma_vli id;
};
constexpr ArchEntry kArchs[] = {
    {BranchFilter::kNone, "none", LZMA_VLI_UNKNOWN},
    {BranchFilter::kArmThumb, "arm-thumb", LZMA_FILTER_ARMTHUMB},
    {BranchFilter::kArm, "arm", LZMA_FILTER_ARM},
    {BranchFilter::kArm64, "arm64", LZMA_FILTER_ARM64},
    {BranchFilter::kX86, "x86", LZMA_FILTER_X86},
};

const ArchEntry* Find(BranchFilter filter) {
  for (const ArchEntry& e : kArchs) {
    if (e.filter == filter)
      return &e;
  }
  return nullptr;
}

// The filter chain the header names: the branch filter, if any, then LZMA2.
struct Chain {
  lzma_options_lzma lzma{};
  std::array<lzma_filter, 3> filters{};

  Chain(BranchFilter filter, std::uint32_t dictionary, bool encoding) {
    lzma_lzma_preset(&lzma, encoding ? (9 | LZMA_PRESET_EXTREME) : 0);
    lzma.dict_size = dictionary;
    std::size_t n = 0;
    const ArchEntry* arch = Find(filter);
    if (arch != nullptr && arch->id != LZMA_VLI_UNKNOWN)
      filters[n++] = {arch->id, nullptr};
    filters[n++] = {LZMA_FILTER_LZMA2, &lzma};
    filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
  }
};

std::string LzmaText(lzma_ret ret) {
  switch (ret) {
    case LZMA_DATA_ERROR:
      return "the compressed data is damaged";
    case LZMA_MEM_ERROR:
      return "out of memory";
    case LZMA_OPTIONS_ERROR:
      return "unsupported compression options";
    case LZMA_BUF_ERROR:
      return "the compressed data ends early";
    default:
      return "decoder error " + std::to_string(static_cast<int>(ret));
  }
}

}  // namespace

std::optional<BranchFilter> ParseArch(std::string_view name) {
  for (const ArchEntry& e : kArchs) {
    if (name == e.name)
      return e.filter;
  }
  return std::nullopt;
}

const char* ArchName(BranchFilter filter) {
  const ArchEntry* e = Find(filter);
  return e ? e->name : "unknown";
}

struct StreamDecoder::State {
  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret init = LZMA_OK;
  ~State() { lzma_end(&strm); }
};

StreamDecoder::StreamDecoder(BranchFilter filter, std::uint32_t dictionary, std::uint64_t expected)
    : state_(std::make_unique<State>()), expected_(expected) {
  if (Find(filter) == nullptr || dictionary < kMinDictionary || dictionary > kMaxDictionary) {
    state_->init = LZMA_OPTIONS_ERROR;
    return;
  }
  const Chain chain(filter, dictionary, false);
  state_->init = lzma_raw_decoder(&state_->strm, chain.filters.data());
}

StreamDecoder::~StreamDecoder() = default;

StreamDecoder::Result StreamDecoder::Failed(std::string why) {
  if (error_.empty())
    error_ = std::move(why);
  return Result::kFailed;
}

StreamDecoder::Result StreamDecoder::Step(std::span<const std::uint8_t>* in, std::uint8_t* out,
                                          std::size_t room, std::size_t* made) {
  *made = 0;
  if (!error_.empty())
    return Result::kFailed;
  if (state_->init != LZMA_OK)
    return Failed(LzmaText(state_->init));
  if (ended_)
    return in->empty() ? Result::kEnd : Failed("bytes follow the end of the compressed data");
  lzma_stream& s = state_->strm;
  s.next_in = in->data();
  s.avail_in = in->size();
  // Never more room than the bytes still expected, plus one to see an overrun.
  s.next_out = out;
  s.avail_out = static_cast<std::size_t>(std::min<std::uint64_t>(room, expected_ - produced_ + 1));
  const std::size_t offered = s.avail_out;
  const lzma_ret ret = lzma_code(&s, LZMA_RUN);
  *in = in->subspan(in->size() - s.avail_in);
  *made = offered - s.avail_out;
  produced_ += *made;
  if (produced_ > expected_)
    return Failed("the compressed data expands beyond the " + std::to_string(expected_) +
                  " bytes the header names");
  if (ret == LZMA_STREAM_END) {
    ended_ = true;
    if (!in->empty())
      return Failed("bytes follow the end of the compressed data");
    if (produced_ != expected_)
      return Failed("the compressed data decodes to " + std::to_string(produced_) + " of " +
                    std::to_string(expected_) + " bytes");
    return Result::kEnd;
  }
  if (ret != LZMA_OK)
    return Failed(LzmaText(ret));
  return Result::kMore;
}

StreamDecoder::Result StreamDecoder::Feed(const std::uint8_t* data, std::size_t size,
                                          const ByteSink& out) {
  std::span<const std::uint8_t> in(data, size);
  std::array<std::uint8_t, kOutChunk> buffer;
  while (true) {
    std::size_t made = 0;
    const Result result = Step(&in, buffer.data(), buffer.size(), &made);
    if (made > 0 && result != Result::kFailed && !out(buffer.data(), made))
      return Failed("the decoded bytes could not be stored");
    if (result != Result::kMore || (in.empty() && made < buffer.size()))
      return result;
  }
}

bool StreamDecoder::Finished() {
  if (!error_.empty())
    return false;
  if (!ended_) {
    Failed("the compressed data ends early, after " + std::to_string(produced_) + " of " +
           std::to_string(expected_) + " bytes");
    return false;
  }
  return true;
}

struct StreamEncoder::State {
  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret init = LZMA_OK;
  ~State() { lzma_end(&strm); }
};

StreamEncoder::StreamEncoder(BranchFilter filter, std::uint32_t dictionary)
    : state_(std::make_unique<State>()) {
  const Chain chain(filter, dictionary, true);
  state_->init = lzma_raw_encoder(&state_->strm, chain.filters.data());
  if (state_->init != LZMA_OK)
    error_ = LzmaText(state_->init);
}

StreamEncoder::~StreamEncoder() = default;

bool StreamEncoder::Run(const std::uint8_t* data, std::size_t size, bool finish,
                        const ByteSink& out) {
  if (!error_.empty())
    return false;
  lzma_stream& s = state_->strm;
  s.next_in = data;
  s.avail_in = size;
  std::array<std::uint8_t, kOutChunk> buffer;
  while (true) {
    s.next_out = buffer.data();
    s.avail_out = buffer.size();
    const lzma_ret ret = lzma_code(&s, finish ? LZMA_FINISH : LZMA_RUN);
    const std::size_t made = buffer.size() - s.avail_out;
    if (made > 0 && !out(buffer.data(), made)) {
      error_ = "the compressed bytes could not be written";
      return false;
    }
    if (ret == LZMA_STREAM_END)
      return true;
    if (ret != LZMA_OK) {
      error_ = LzmaText(ret);
      return false;
    }
    if (!finish && s.avail_in == 0 && s.avail_out > 0)
      return true;
  }
}

bool StreamEncoder::Feed(const std::uint8_t* data, std::size_t size, const ByteSink& out) {
  return Run(data, size, false, out);
}

bool StreamEncoder::Finish(const ByteSink& out) {
  return Run(nullptr, 0, true, out);
}

}  // namespace hiddfu
