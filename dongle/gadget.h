// The dongle as a USB HID gadget on a real Linux kernel: the virtual dongle's device model
// behind a composite gadget made through configfs, with the media-key HID function first and
// the update function second, as docs/protocol.md describes the dongle. Its reports are read
// from and written to the update function's /dev/hidgN; its comings and goings on the bus are
// a bind to and an unbind from the USB device controller. The host side is whatever the
// kernel makes of it: usbhid, hidraw, udev, and hidapi on top.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "dongle/simulated_device.h"

namespace dongle {

struct GadgetIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string name = "zav-marlo";  // the gadget's folder under usb_gadget in configfs
  std::string controller;          // the USB device controller; empty: the first one there
};

class Gadget final : public Bus {
 public:
  // Makes the gadget in configfs, not bound yet; nullptr and the reason when that fails.
  static std::unique_ptr<Gadget> Create(const GadgetIdentity& identity, std::string* error);
  ~Gadget() override;  // stops, unbinds the gadget and removes it from configfs
  Gadget(const Gadget&) = delete;
  Gadget& operator=(const Gadget&) = delete;

  // Carries `d`'s reports from now on; then move `d` onto this bus (UseBus). Stop() ends the
  // carrying once `d` has left this bus again.
  void Start(Device& d);
  void Stop();

  // What the gadget has done, for its log: each attachment and detachment as it takes
  // effect on the controller. Called on the gadget's own thread, no lock held.
  std::function<void(bool attached, const std::string& node)> onBound;

  // Reports carried so far, either way.
  std::uint64_t ReportsIn() const;
  std::uint64_t ReportsOut() const;
  // Whether everything the dongle has handed to the IN endpoint has been taken.
  bool InDrained() const;

  bool InReady(const Device& d) const override;
  void SendIn(Device& d, const Report& r) override;
  void Attached(Device& d, bool onBus) override;

 private:
  struct BusChange {
    bool attach = false;
    std::uint64_t generation = 0;
    std::uint16_t release = 0;  // bcdDevice: the running version's major and minor
    std::string serial;
  };

  explicit Gadget(GadgetIdentity identity, std::string root);
  bool Build(std::string* error);
  void Remove();
  void RunBinder();
  void RunReader();
  void RunWriter();
  bool Apply(const BusChange& change);
  bool OpenNode();
  void Take(std::unique_lock<std::mutex>& lock, const Report& r);

  const GadgetIdentity identity_;
  const std::string root_;  // /sys/kernel/config/usb_gadget/<name>
  std::string controller_;
  Device* d_ = nullptr;
  int fd_ = -1;  // the update function's /dev/hidgN, opened at the first bind, kept
  std::string node_;

  // All of these under d_->mu.
  bool stopping_ = false;
  std::deque<BusChange> changes_;
  std::condition_variable changed_;
  std::uint64_t boundGeneration_ = 0;  // the device's generation the controller has bound
  std::optional<std::pair<Report, std::uint64_t>> pendingIn_;
  std::condition_variable inWaiting_;
  std::uint64_t reportsIn_ = 0;
  std::uint64_t reportsOut_ = 0;

  std::thread binder_;
  std::thread reader_;
  std::thread writer_;
};

}  // namespace dongle
