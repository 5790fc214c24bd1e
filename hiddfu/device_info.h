// What the dongle says about itself in its INFO reply, and what the host derives from it.
#pragma once

#include <cstdint>
#include <string>

#include "hiddfu/protocol.h"

namespace hiddfu {

struct DeviceInfo : proto::InfoReply {
  DeviceInfo() = default;
  explicit DeviceInfo(const proto::InfoReply& reply) : proto::InfoReply(reply) {}

  // How long erasing the blocks an image of `size` bytes needs takes, and reading them back.
  std::uint64_t EraseMs(std::uint64_t size) const { return Blocks(size) * eraseMs; }
  std::uint64_t VerifyMs(std::uint64_t size) const { return Blocks(size) * readMs; }

 private:
  std::uint64_t Blocks(std::uint64_t size) const {
    return eraseBlock == 0 ? 0 : (size + eraseBlock - 1) / eraseBlock;
  }
};

// "running 1.2.0.7 (slot 1); standby 1.0.0.0 (slot 0)"
std::string DescribeSlots(const DeviceInfo& info);

}  // namespace hiddfu
