// Framed report I/O on one open handle, and the command exchange built on it. Used only by
// the thread that owns the handle.
#pragma once

#include <hidapi.h>

#include <atomic>
#include <optional>

#include "hiddfu/protocol.h"

namespace hiddfu {

class Link {
 public:
  enum class Sent { kOk, kGone, kStuck };

  // vanishGraceMs: how long a write that failed on the bus may take to turn out as the
  // device leaving (below); 0 decides at once. The wait ends early when `cancel` is set.
  explicit Link(hid_device* device, int vanishGraceMs = 0,
                const std::atomic<bool>* cancel = nullptr)
      : device_(device), vanishGraceMs_(vanishGraceMs), cancel_(cancel) {}

  // One report out. On Linux hidraw the call returns once the device has taken it and fails
  // after about 5 s when it takes nothing (ETIMEDOUT): kStuck, told from a device that has
  // gone. A pulled cable fails the transfer under way on the bus (EPROTO) and the next ones
  // (ENODEV) while the kernel still has the node, which it removes within moments: such a
  // failure is kGone once the node has gone, at once for ENODEV.
  Sent Send(const proto::Report& report);

  // 1: an intact report arrived; 0: none within the time; -1: the device is gone.
  // Damaged reports are dropped, as the link would drop a packet with a bad checksum.
  int Receive(proto::Report& report, int timeoutMs);

  // A send came back kStuck: the device takes nothing.
  bool Stuck() const { return stuck_; }

 private:
  // Whether the node goes (a read fails) within `ms`; a report read meanwhile is kept.
  bool Vanishes(int ms);

  hid_device* device_;
  int vanishGraceMs_;
  const std::atomic<bool>* cancel_;
  bool stuck_ = false;
  std::optional<proto::Report> pending_;  // read while telling a stuck device from a gone one
};

// How long to wait for a reply before sending the command again, and how often to send it.
struct Patience {
  int periodMs = 250;
  int attempts = 4;
};

// kOk: the reply came, with status OK or working; kRefused: it came with another status,
// which it carries; kSilent: none came, or the device takes nothing.
enum class Answer { kOk, kRefused, kSilent, kGone, kCancelled };

// Sends a command and waits for its reply (matched by type and tag), sending it again, with
// the same tag, when none comes. Anything else that arrives meanwhile (a late
// acknowledgement, the reply to an earlier command) is dropped.
Answer Transact(Link& link, proto::Report request, proto::Report* reply, Patience patience,
                const std::atomic<bool>* cancel);

template <typename Reply>
std::optional<Reply> DecodeReply(const proto::Report& r);
template <>
inline std::optional<proto::InfoReply> DecodeReply(const proto::Report& r) {
  return proto::DecodeInfoReply(r);
}
template <>
inline std::optional<proto::HeaderReply> DecodeReply(const proto::Report& r) {
  return proto::DecodeHeaderReply(r);
}
template <>
inline std::optional<proto::StartReply> DecodeReply(const proto::Report& r) {
  return proto::DecodeStartReply(r);
}
template <>
inline std::optional<proto::VerifyReply> DecodeReply(const proto::Report& r) {
  return proto::DecodeVerifyReply(r);
}
template <>
inline std::optional<proto::ActivateReply> DecodeReply(const proto::Report& r) {
  return proto::DecodeActivateReply(r);
}
template <>
inline std::optional<proto::ConfirmReply> DecodeReply(const proto::Report& r) {
  return proto::DecodeConfirmReply(r);
}

// Transact with the messages themselves: `reply` is filled whenever one came (kOk, kRefused).
template <typename Reply, typename Request>
Answer Exchange(Link& link, const Request& request, Reply* reply, Patience patience,
                const std::atomic<bool>* cancel) {
  proto::Report raw{};
  const Answer answer = Transact(link, proto::Encode(request, 0), &raw, patience, cancel);
  if (answer == Answer::kOk || answer == Answer::kRefused)
    *reply = DecodeReply<Reply>(raw).value_or(Reply{});  // Transact took an intact reply
  return answer;
}

}  // namespace hiddfu
