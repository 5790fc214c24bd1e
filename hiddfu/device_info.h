// What the dongle says about itself in its INFO reply, and what the host derives from it.
#pragma once

#include <cstdint>
#include <string>

#include "hiddfu/image.h"
#include "hiddfu/protocol.h"

namespace hiddfu {

struct DeviceInfo : proto::InfoReply {
  DeviceInfo() = default;
  explicit DeviceInfo(const proto::InfoReply& reply) : proto::InfoReply(reply) {}

  // How long erasing the blocks an image of `size` bytes needs takes, and reading them back.
  std::uint64_t EraseMs(std::uint64_t size) const { return Blocks(size) * eraseMs; }
  std::uint64_t VerifyMs(std::uint64_t size) const { return Blocks(size) * readMs; }
  // Whether it decodes the stored stream of this image as it arrives.
  bool Decodes(const ImageHeader& header) const {
    return header.method == Method::kLzma2 &&
           (methods & (1u << static_cast<unsigned>(Method::kLzma2))) &&
           (filters & (1u << static_cast<unsigned>(header.filter))) &&
           header.dictionary <= dictionary;
  }
  // How long decoding `size` payload bytes takes it.
  double DecodeMs(std::uint64_t size) const {
    return decodeRate == 0 ? 0.0 : 1000.0 * static_cast<double>(size) / decodeRate;
  }

 private:
  std::uint64_t Blocks(std::uint64_t size) const {
    return eraseBlock == 0 ? 0 : (size + eraseBlock - 1) / eraseBlock;
  }
};

// "running 1.2.0.7 (slot 1); standby 1.0.0.0 (slot 0)"
std::string DescribeSlots(const DeviceInfo& info);

}  // namespace hiddfu
