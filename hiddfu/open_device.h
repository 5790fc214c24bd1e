// Finding and opening the dongle's update interface. The hid_* functions that touch no open
// handle (hid_init, hid_enumerate, hid_open_path, hid_error(NULL)) share process-wide state
// in hidapi, so the library's threads take turns at them.
#pragma once

#include <hidapi.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hiddfu {

struct HidCloser {
  void operator()(hid_device* d) const { hid_close(d); }
};
// Closed by whichever thread drops it: only the thread that makes the calls on the handle.
using HidHandle = std::unique_ptr<hid_device, HidCloser>;

// Which device and interface the caller asked for; 0 matches any usage or usage page.
struct Identity {
  unsigned short vendorId = 0, productId = 0, usage = 0, usagePage = 0;
};

std::mutex& HidGlobalMutex();

enum class Found { kOpened, kNotFound, kNotOpened };

// One matching update interface, as the enumeration listed it.
struct Candidate {
  std::string path;
  std::string serial;  // ASCII; empty when the device reports none
};

// How a connection holds on to its dongle through a restart: by its serial number, or by its
// node when it has none (which a re-enumeration may change).
struct Pin {
  std::string serial;
  std::string path;
  bool Matches(const Candidate& c) const {
    return serial.empty() ? c.path == path : c.serial == serial;
  }
};

// Which dongle a connect took, and the other matching ones that were there.
struct Choice {
  Candidate chosen;
  std::vector<Candidate> others;
};

// Opens the matching interface with the lowest serial number (then node), whatever order
// the enumeration lists them in, and tells which it took. kNotOpened leaves the reason in
// `error`: for a node that would not open, told by its errno and naming the node and the
// remedy.
Found OpenDevice(const Identity& id, HidHandle* device, std::string* error, Choice* choice);
// Opens the interface that `pin` names, and no other.
Found OpenPinned(const Identity& id, const Pin& pin, HidHandle* device, std::string* error);

// "device not found (VID 0x1209, PID 0x0001, usage page 0xFF00, usage 0x0001)"
std::string NotFoundText(const Identity& id);

// The text for a node that `open()` refused with `err`.
std::string OpenFailureText(const std::string& node, int err);

}  // namespace hiddfu
