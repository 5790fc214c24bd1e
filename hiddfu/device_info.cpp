#include "hiddfu/device_info.h"

namespace hiddfu {

DeviceInfo ParseInfo(const proto::Report& r) {
  DeviceInfo info;
  info.protocol = r[proto::kInfoProtocol];
  info.activeSlot = r[proto::kInfoActiveSlot] & 1;
  info.window = r[proto::kInfoWindow];
  info.completion = r[proto::kInfoCompletion];
  info.bootCount = proto::Get16(r, proto::kInfoBootCount);
  info.capacity = proto::Get32(r, proto::kInfoCapacity);
  info.running = proto::GetVersion(r, proto::kInfoRunning);
  for (int i = 0; i < 2; ++i) {
    const std::size_t at = proto::kInfoSlots + i * proto::kInfoSlotStride;
    info.slots[i].version = proto::GetVersion(r, at);
    info.slots[i].flags = r[at + 8];
  }
  info.eraseBlock = proto::Get32(r, proto::kInfoEraseBlock);
  info.eraseMs = proto::Get16(r, proto::kInfoEraseMs);
  info.readMs = proto::Get16(r, proto::kInfoReadMs);
  info.restartMs = proto::Get16(r, proto::kInfoRestartMs);
  info.product = proto::Get16(r, proto::kInfoProduct);
  info.hardwareRevision = proto::Get16(r, proto::kInfoHardware);
  info.securityCounter = proto::Get32(r, proto::kInfoCounter);
  return info;
}

std::string DescribeSlots(const DeviceInfo& info) {
  const int other = 1 - info.activeSlot;
  const bool trial = info.slots[info.activeSlot].flags & proto::kSlotOnTrial;
  std::string text = "running " + info.running.ToString() + " (slot " +
                     std::to_string(info.activeSlot) + (trial ? ", on trial)" : ")");
  const SlotInfo& standby = info.slots[other];
  if (standby.flags & proto::kSlotHoldsImage) {
    text += "; standby " + standby.version.ToString() + " (slot " + std::to_string(other);
    if (!(standby.flags & proto::kSlotBootable))
      text += ", not bootable";
    text += ")";
  } else {
    text += "; slot " + std::to_string(other) + " empty";
  }
  return text;
}

}  // namespace hiddfu
