#include "hiddfu/device_info.h"

namespace hiddfu {

std::string DescribeSlots(const DeviceInfo& info) {
  if (info.mode == proto::Mode::kUpdate)
    return "update mode: neither slot holds an image that passes the boot loader's check";
  const int other = 1 - info.activeSlot;
  const bool trial = info.slotStates[info.activeSlot].flags & proto::kSlotOnTrial;
  std::string text = "running " + info.running.ToString() + " (slot " +
                     std::to_string(info.activeSlot) + (trial ? ", on trial)" : ")");
  const proto::SlotState& standby = info.slotStates[other];
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
