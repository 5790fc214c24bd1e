// The controls of the virtual dongle (dongle.h), for tests and the demo.
#include "dongle/dongle.h"

#include "dongle/simulated_device.h"

namespace VirtualDongle {
namespace {

using dongle::Device;

// Runs `f` on dongle `index` with its lock held.
template <typename F>
auto Locked(int index, F&& f) {
  Device& d = dongle::DeviceAt(index);
  std::lock_guard lock(d.mu);
  return f(d);
}

}  // namespace

void Reset() {
  dongle::RemoveAddedDevices();
  Locked(0, [](Device& d) { d.ResetState(); });
}

int AddDongle(const std::wstring& serial) {
  const dongle::Settings settings = Locked(0, [](Device& d) { return d.CurrentSettings(); });
  return dongle::AddDevice(serial, settings);
}

void SetTiming(Timing timing, int dongle) {
  Locked(dongle, [&](Device& d) {
    d.timing = timing;
    d.deviceCv.notify_all();
  });
}

void SetFlashTiming(const FlashTiming& flash, int dongle) {
  Locked(dongle, [&](Device& d) { d.flashTiming = flash; });
}

void SetDecoder(const Decoder& decoder, int dongle) {
  Locked(dongle, [&](Device& d) { d.decoder = decoder; });
}

void SetFaults(const Faults& faults, int dongle) {
  Locked(dongle, [&](Device& d) {
    d.faults = faults;
    d.journal.CutAt(faults.powerCutAtBootWrite.value_or(0), faults.tornBootWrite);
    d.deviceCv.notify_all();  // an OUT endpoint may take reports again
  });
}

void SetRestartDelay(std::chrono::milliseconds delay, int dongle) {
  Locked(dongle, [&](Device& d) { d.restartDelay = delay; });
}

void SetDisconnectDelay(std::chrono::milliseconds delay, int dongle) {
  Locked(dongle, [&](Device& d) { d.disconnectDelay = delay; });
}

void SetWriteTimeout(std::chrono::milliseconds limit, int dongle) {
  Locked(dongle, [&](Device& d) { d.writeTimeout = limit; });
}

void SetTrialWatchdog(std::chrono::milliseconds limit, int dongle) {
  Locked(dongle, [&](Device& d) {
    d.trialWatchdog = limit;
    d.deviceCv.notify_all();
  });
}

void SetSlotCapacity(std::uint32_t bytes, int dongle) {
  Locked(dongle, [&](Device& d) { d.capacity = bytes; });
}

void SetSerialNumber(const std::wstring& serial, int dongle) {
  Locked(dongle, [&](Device& d) { d.serial = serial; });
}

void SetNodePath(const std::string& path, int dongle) {
  Locked(dongle, [&](Device& d) { d.nodePath = path; });
}

void SetHardware(std::uint16_t product, std::uint16_t revision, int dongle) {
  Locked(dongle, [&](Device& d) {
    d.product = product;
    d.hardwareRevision = revision;
  });
}

void SetSecurityCounter(std::uint32_t counter, int dongle) {
  Locked(dongle, [&](Device& d) {
    if (counter == d.Counter())
      return;
    d.SetCounter(counter);
    d.AdoptImages();
  });
}

void SetTrustedKey(const hiddfu::PublicKey& key, int dongle) {
  Locked(dongle, [&](Device& d) {
    if (key == d.trustedKey)
      return;
    d.trustedKey = key;
    d.AdoptImages();
  });
}

void InstallFactoryImage(FirmwareVersion version, int dongle) {
  Locked(dongle, [&](Device& d) { d.InstallFactoryImage(version); });
}

void DecaySlot(int slot, int dongle) {
  Locked(dongle, [&](Device& d) { d.DecaySlot(slot & 1); });
}

void Plug(int dongle) {
  Locked(dongle, [](Device& d) {
    if (!d.powered && !d.restarting)
      d.PowerOn();
  });
}

void Unplug(int dongle) {
  Locked(dongle, [](Device& d) { d.PowerOff(); });
}

bool IsPlugged(int dongle) {
  return Locked(dongle, [](Device& d) { return d.onBus; });
}

int ActiveSlot(int dongle) {
  return Locked(dongle, [](Device& d) { return d.active; });
}

Slot GetSlot(int index, int dongle) {
  return Locked(dongle, [&](Device& d) { return d.SlotView(index & 1); });
}

FirmwareVersion RunningVersion(int dongle) {
  return Locked(dongle, [](Device& d) { return d.RunningVersion(); });
}

bool OnTrial(int dongle) {
  return Locked(dongle, [](Device& d) { return d.onTrial; });
}

bool Settled(int dongle) {
  return Locked(dongle, [](Device& d) { return !d.restarting && !(d.powered && d.onTrial); });
}

std::uint32_t SecurityCounter(int dongle) {
  return Locked(dongle, [](Device& d) { return d.Counter(); });
}

std::uint16_t BootCount(int dongle) {
  return Locked(dongle, [](Device& d) { return d.bootCount; });
}

Stats GetStats(int dongle) {
  return Locked(dongle, [](Device& d) { return d.stats; });
}

Timeline GetTimeline(int dongle) {
  return Locked(dongle, [](Device& d) { return d.timeline; });
}

FlashTiming GetFlashTiming(int dongle) {
  return Locked(dongle, [](Device& d) { return d.FlashTimes(); });
}

std::chrono::milliseconds GetRestartDelay(int dongle) {
  return Locked(dongle, [](Device& d) { return d.RestartTime(); });
}

}  // namespace VirtualDongle
