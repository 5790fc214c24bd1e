#include "hiddfu/link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace hiddfu {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWaitSliceMs = 20;  // longest wait between looks at the cancel flag

int Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::atomic<std::uint8_t> g_tag{0};

}  // namespace

Link::Sent Link::Send(const proto::Report& report) {
  std::array<std::uint8_t, proto::kReportSize + 1> buffer{};  // report number 0 first
  std::memcpy(buffer.data() + 1, report.data(), report.size());
  errno = 0;
  if (hid_write(device_, buffer.data(), buffer.size()) == static_cast<int>(buffer.size()))
    return Sent::kOk;
  const int err = errno;
  if (err == ENODEV)
    return Sent::kGone;
  // A device that has gone fails a read; one that is there but took nothing does not.
  if (Vanishes(err == ETIMEDOUT ? 0 : vanishGraceMs_))
    return Sent::kGone;
  stuck_ = true;
  return Sent::kStuck;
}

bool Link::Vanishes(int ms) {
  const auto deadline = Clock::now() + milliseconds(ms);
  do {
    proto::Report r{};
    const int n =
        hid_read_timeout(device_, r.data(), r.size(), std::min(Remaining(deadline), kWaitSliceMs));
    if (n < 0)
      return true;
    if (n > 0 && proto::Intact(r) && !pending_)
      pending_ = r;
  } while (Remaining(deadline) > 0 && !(cancel_ && *cancel_));
  return false;
}

int Link::Receive(proto::Report& report, int timeoutMs) {
  if (pending_) {
    report = *pending_;
    pending_.reset();
    return 1;
  }
  const auto deadline = Clock::now() + milliseconds(timeoutMs);
  while (true) {
    report.fill(0);
    const int n = hid_read_timeout(device_, report.data(), report.size(), Remaining(deadline));
    if (n < 0)
      return -1;
    if (n == 0)
      return 0;
    if (proto::Intact(report))
      return 1;
    if (Remaining(deadline) == 0)
      return 0;
  }
}

Answer Transact(Link& link, proto::Report request, proto::Report* reply, Patience patience,
                const std::atomic<bool>* cancel) {
  const std::uint8_t tag = ++g_tag;
  request[proto::kTag] = tag;
  proto::Seal(request);
  const std::uint8_t wanted = request[0] | proto::kReplyFlag;
  for (int attempt = 0; attempt < patience.attempts; ++attempt) {
    if (cancel && *cancel)
      return Answer::kCancelled;
    switch (link.Send(request)) {
      case Link::Sent::kOk:
        break;
      case Link::Sent::kGone:
        return Answer::kGone;
      case Link::Sent::kStuck:
        return Answer::kSilent;
    }
    const auto deadline = Clock::now() + milliseconds(patience.periodMs);
    while (Remaining(deadline) > 0) {
      if (cancel && *cancel)
        return Answer::kCancelled;
      proto::Report r;
      const int rc = link.Receive(r, std::min(Remaining(deadline), kWaitSliceMs));
      if (rc < 0)
        return Answer::kGone;
      if (rc > 0 && r[0] == wanted && r[proto::kTag] == tag) {
        *reply = r;
        const std::uint8_t status = r[proto::kBody];
        return status == proto::kOk || status == proto::kWorking ? Answer::kOk : Answer::kRefused;
      }
    }
  }
  return Answer::kSilent;
}

}  // namespace hiddfu
