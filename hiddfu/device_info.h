// What the dongle says about itself in its INFO reply, and what the host derives from it.
#pragma once

#include <cstdint>
#include <string>

#include "hiddfu/protocol.h"

namespace hiddfu {

struct SlotInfo {
  FirmwareVersion version;
  std::uint8_t flags = 0;
};

struct DeviceInfo {
  std::uint8_t protocol = 0;
  std::uint8_t activeSlot = 0;
  std::uint8_t window = 1;
  std::uint8_t completion = 0;
  std::uint16_t bootCount = 0;
  std::uint32_t capacity = 0;
  FirmwareVersion running;
  SlotInfo slots[2];
  // The flash's timing: an erase block, and the time to erase one and to read one back.
  std::uint32_t eraseBlock = 0;
  std::uint16_t eraseMs = 0;
  std::uint16_t readMs = 0;
  std::uint16_t restartMs = 0;
  // What the device is, and the lowest security counter it takes.
  std::uint16_t product = 0;
  std::uint16_t hardwareRevision = 0;
  std::uint32_t securityCounter = 0;

  // How long erasing the blocks an image of `size` bytes needs takes, and reading them back.
  std::uint64_t EraseMs(std::uint64_t size) const { return Blocks(size) * eraseMs; }
  std::uint64_t VerifyMs(std::uint64_t size) const { return Blocks(size) * readMs; }

 private:
  std::uint64_t Blocks(std::uint64_t size) const {
    return eraseBlock == 0 ? 0 : (size + eraseBlock - 1) / eraseBlock;
  }
};

DeviceInfo ParseInfo(const proto::Report& r);

// "running 1.2.0.7 (slot 1); standby 1.0.0.0 (slot 0)"
std::string DescribeSlots(const DeviceInfo& info);

}  // namespace hiddfu
