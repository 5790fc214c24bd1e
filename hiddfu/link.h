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

  explicit Link(hid_device* device) : device_(device) {}

  // One report out. On Linux hidraw the call returns once the device has taken it and fails
  // after about 5 s when it takes nothing: kStuck, told from a device that has gone.
  Sent Send(const proto::Report& report);

  // 1: an intact report arrived; 0: none within the time; -1: the device is gone.
  // Damaged reports are dropped, as the link would drop a packet with a bad checksum.
  int Receive(proto::Report& report, int timeoutMs);

  // A send came back kStuck: the device takes nothing.
  bool Stuck() const { return stuck_; }

 private:
  hid_device* device_;
  bool stuck_ = false;
  std::optional<proto::Report> pending_;  // read while telling a stuck device from a gone one
};

// How long to wait for a reply before sending the command again, and how often to send it.
struct Patience {
  int periodMs = 250;
  int attempts = 4;
};

enum class Answer { kOk, kSilent, kGone, kCancelled };

// Sends a command and waits for its reply (matched by type and tag), sending it again, with
// the same tag, when none comes. Anything else that arrives meanwhile (a late
// acknowledgement, the reply to an earlier command) is dropped. A device that stops taking
// reports is kSilent.
Answer Transact(Link& link, proto::Report request, proto::Report* reply, Patience patience,
                const std::atomic<bool>* cancel);

}  // namespace hiddfu
