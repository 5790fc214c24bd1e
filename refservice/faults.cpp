#include "refservice/faults.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// No answer waits longer than this, whatever a test forgot to release.
constexpr auto kLongestStall = std::chrono::seconds(60);
// Nor does an endless one send more than this, whatever a client fails to refuse.
constexpr std::size_t kEndlessBytes = std::size_t(1) << 30;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in)
    text << in.rdbuf();
  return text.str();
}

// The fault's body and headers in place of the normal ones.
std::string ShapeBody(const RefFault& fault, httplib::Response& res, std::string body) {
  res.status = fault.status != 0 ? fault.status : 200;
  if (fault.customBody) {
    body = *fault.customBody;
  } else if (fault.body == RefFault::Body::Empty) {
    body.clear();
  } else if (fault.body == RefFault::Body::Malformed) {
    body = R"({"code":0,"msg":"ok","data":{"fileUrl":)";
  }
  if (body.size() < fault.bodySize)
    body.append(fault.bodySize - body.size(), ' ');
  if (fault.extraHeaderBytes > 0)
    res.set_header("X-Padding", std::string(fault.extraHeaderBytes, 'x'));
  return body;
}

// `body` over and over, in blocks of at least 64 KiB, until the client goes away, the service
// stops or kEndlessBytes have gone out.
void SendEndlessly(FaultBoard& board, httplib::Response& res, const std::string& body,
                   const char* contentType) {
  auto block = std::make_shared<std::string>(body.empty() ? " " : body);
  while (block->size() < 64 * 1024)
    *block += *block;
  res.set_chunked_content_provider(
      contentType, [&board, block](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= kEndlessBytes || !board.Wait(std::chrono::milliseconds(0), false))
          return false;
        return sink.write(block->data(), block->size());
      });
}

void SendDripping(FaultBoard& board, httplib::Response& res, std::string body,
                  const char* contentType, std::chrono::milliseconds every) {
  auto shared = std::make_shared<std::string>(std::move(body));
  res.set_content_provider(
      shared->size(), contentType,
      [&board, shared, every](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        return board.Wait(every, false) && sink.write(shared->data() + offset, 1);
      });
}

// The headers and `cut` bytes of the body, then silence.
void SendThenStall(FaultBoard& board, httplib::Response& res, std::string body,
                   const char* contentType, std::size_t cut) {
  auto shared = std::make_shared<std::string>(std::move(body));
  cut = std::min(cut, shared->size());
  res.set_content_provider(
      shared->size(), contentType,
      [&board, shared, cut](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (offset < cut)
          return sink.write(shared->data() + offset, std::min(length, cut - offset));
        board.Wait(kLongestStall, true);
        return false;
      });
}

// Waits out the fault's delay and stall. False when the answer is over.
bool WaitAsTheFaultSays(FaultBoard& board, const RefFault& fault, httplib::Response& res) {
  if (fault.delay.count() > 0 && !board.Wait(fault.delay, false))
    return false;
  if (fault.stall) {
    board.Wait(kLongestStall, true);
    res.status = 503;
    return false;
  }
  return true;
}

}  // namespace

void FaultBoard::Set(RefEndpoint endpoint, RefFault fault) {
  {
    std::lock_guard lock(mutex_);
    faults_[static_cast<std::size_t>(endpoint)] = std::move(fault);
    ++generation_;
  }
  wake_.notify_all();
}

void FaultBoard::Clear() {
  {
    std::lock_guard lock(mutex_);
    faults_ = {};
    ++generation_;
  }
  wake_.notify_all();
}

RefFault FaultBoard::For(RefEndpoint endpoint) const {
  std::lock_guard lock(mutex_);
  return faults_[static_cast<std::size_t>(endpoint)];
}

void FaultBoard::Stopping(bool stopping) {
  {
    std::lock_guard lock(mutex_);
    stopping_ = stopping;
  }
  wake_.notify_all();
}

bool FaultBoard::Wait(std::chrono::milliseconds duration, bool untilChange) {
  std::unique_lock lock(mutex_);
  const std::uint64_t generation = generation_;
  wake_.wait_for(lock, duration,
                 [&] { return stopping_ || (untilChange && generation_ != generation); });
  return !stopping_;
}

void AnswerWithFault(FaultBoard& board, RefEndpoint endpoint, httplib::Response& res,
                     std::string normal, const char* contentType) {
  const RefFault fault = board.For(endpoint);
  if (!WaitAsTheFaultSays(board, fault, res))
    return;
  std::string body = ShapeBody(fault, res, std::move(normal));
  if (fault.endless)
    SendEndlessly(board, res, body, contentType);
  else if (fault.dripEvery.count() > 0)
    SendDripping(board, res, std::move(body), contentType, fault.dripEvery);
  else if (fault.stallAfter)
    SendThenStall(board, res, std::move(body), contentType, *fault.stallAfter);
  else
    res.set_content(body, contentType);
}

void ServeFileWithFault(FaultBoard& board, const fs::path& path, const char* contentType,
                        httplib::Response& res) {
  const RefFault fault = board.For(RefEndpoint::Files);
  // A fault that changes the bytes: the file goes out as an answer of its own.
  if (fault.customBody || fault.body != RefFault::Body::Normal || fault.bodySize > 0 ||
      fault.dripEvery.count() > 0 || fault.endless) {
    AnswerWithFault(board, RefEndpoint::Files, res, ReadFile(path), "application/octet-stream");
    return;
  }
  if (!WaitAsTheFaultSays(board, fault, res))
    return;
  if (fault.status != 0) {
    res.status = fault.status;
    return;
  }
  auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
  std::error_code ec;
  const std::size_t size = fs::file_size(path, ec);
  const std::size_t cut = fault.stallAfter.value_or(size);
  if (fault.extraHeaderBytes > 0)
    res.set_header("X-Padding", std::string(fault.extraHeaderBytes, 'x'));
  res.set_content_provider(
      size, contentType,
      [&board, in, cut](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (offset >= cut) {
          board.Wait(kLongestStall, true);
          return false;
        }
        std::array<char, 256 * 1024> buffer;
        const std::size_t want = std::min({length, buffer.size(), cut - offset});
        in->seekg(static_cast<std::streamoff>(offset));
        in->read(buffer.data(), static_cast<std::streamsize>(want));
        const auto got = static_cast<std::size_t>(in->gcount());
        return got > 0 && sink.write(buffer.data(), got);
      });
}
