// The controls of the virtual dongle (dongle.h), for tests and the demo.
#include "dongle/dongle.h"

#include "dongle/simulated_device.h"

namespace VirtualDongle {
namespace {

using dongle::Device;
using dongle::TheDevice;

// Runs `f` on the device with its lock held.
template <typename F>
auto Locked(F&& f) {
  Device& d = TheDevice();
  std::lock_guard lock(d.mu);
  return f(d);
}

}  // namespace

void Reset() {
  Locked([](Device& d) { d.ResetState(); });
}

void SetTiming(Timing timing) {
  Locked([&](Device& d) {
    d.timing = timing;
    d.deviceCv.notify_all();
  });
}

void SetFlashTiming(const FlashTiming& flash) {
  Locked([&](Device& d) { d.flashTiming = flash; });
}

void SetFaults(const Faults& faults) {
  Locked([&](Device& d) {
    d.faults = faults;
    d.deviceCv.notify_all();  // an OUT endpoint may take reports again
  });
}

void SetRestartDelay(std::chrono::milliseconds delay) {
  Locked([&](Device& d) { d.restartDelay = delay; });
}

void SetWriteTimeout(std::chrono::milliseconds limit) {
  Locked([&](Device& d) { d.writeTimeout = limit; });
}

void SetSlotCapacity(std::uint32_t bytes) {
  Locked([&](Device& d) { d.capacity = bytes; });
}

void SetSerialNumber(const std::wstring& serial) {
  Locked([&](Device& d) { d.serial = serial; });
}

void SetNodePath(const std::string& path) {
  Locked([&](Device& d) { d.nodePath = path; });
}

void InstallFactoryImage(FirmwareVersion version) {
  Locked([&](Device& d) {
    d.slots[0] = {true, version, 48 * 1024, true, true, {}};
    d.slots[1] = {};
    d.active = 0;
    d.trialSlot = -1;
  });
}

void Plug() {
  Locked([](Device& d) {
    if (!d.onBus && !d.restarting)
      d.PowerOn();
  });
}

void Unplug() {
  Locked([](Device& d) {
    d.GoOffBus();
    d.restarting = false;
  });
}

bool IsPlugged() {
  return Locked([](Device& d) { return d.onBus; });
}

int ActiveSlot() {
  return Locked([](Device& d) { return d.active; });
}

Slot GetSlot(int index) {
  return Locked([&](Device& d) { return d.slots[index & 1]; });
}

FirmwareVersion RunningVersion() {
  return Locked([](Device& d) { return d.slots[d.active].version; });
}

std::uint16_t BootCount() {
  return Locked([](Device& d) { return d.bootCount; });
}

Stats GetStats() {
  return Locked([](Device& d) { return d.stats; });
}

Timeline GetTimeline() {
  return Locked([](Device& d) { return d.timeline; });
}

FlashTiming GetFlashTiming() {
  return Locked([](Device& d) { return d.FlashTimes(); });
}

std::chrono::milliseconds GetRestartDelay() {
  return Locked([](Device& d) { return d.RestartTime(); });
}

}  // namespace VirtualDongle
