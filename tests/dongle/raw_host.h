// A host that talks to the dongle report by report through the hid_* functions, to send
// what the library never sends.
#pragma once

#include <hidapi.h>

#include <cstring>
#include <memory>

#include "hiddfu/protocol.h"

struct HidCloser {
  void operator()(hid_device* d) const { hid_close(d); }
};

class RawHost {
 public:
  RawHost() {
    hid_device_info* list = hid_enumerate(ZAV_USB_VID, ZAV_USB_PID);
    for (hid_device_info* d = list; d; d = d->next) {
      if (d->usage_page == 0xFF00 && d->usage == 1)
        handle_.reset(hid_open_path(d->path));
    }
    hid_free_enumeration(list);
  }
  explicit operator bool() const { return handle_ != nullptr; }

  bool Send(const hiddfu::proto::Report& report) {
    unsigned char buffer[65] = {0};
    std::memcpy(buffer + 1, report.data(), report.size());
    return hid_write(handle_.get(), buffer, sizeof buffer) == 65;
  }

  // Reads whatever waits, as a host must (hidraw drops what a full queue cannot take).
  void Drain() {
    hiddfu::proto::Report r{};
    while (hid_read_timeout(handle_.get(), r.data(), r.size(), 0) == 64) {
    }
  }

  // The status of the reply to `command`, -1 for none.
  template <typename Command>
  int Status(const Command& command) {
    namespace proto = hiddfu::proto;
    const proto::Report request = proto::Encode(command, ++tag_);
    if (!Send(request))
      return -1;
    proto::Report reply{};
    while (hid_read_timeout(handle_.get(), reply.data(), reply.size(), 1000) == 64) {
      if (reply[0] == (request[0] | proto::kReplyFlag) && reply[proto::kTag] == tag_)
        return reply[proto::kBody];
    }
    return -1;
  }

 private:
  std::unique_ptr<hid_device, HidCloser> handle_;
  std::uint8_t tag_ = 0;
};
