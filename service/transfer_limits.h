// The bounds of every request and of the firmware download: process-wide, the tool's own
// values unless a test shortens them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Bounds on every request and download, so that no service, however slow, silent or
// endless, can hold the tool for ever or fill its memory or disk.
struct TransferLimits {
  // Connecting: the TCP connection, a proxy's tunnel and the TLS handshake.
  std::chrono::milliseconds connect{60'000};
  // From the first byte of the response on: the longest time without a byte moving in
  // either direction (checked about once a second).
  std::chrono::milliseconds idle{30'000};
  // A service request as a whole, connecting included.
  std::chrono::milliseconds request{120'000};
  // A service answer is cut off here: the text so far is the answer.
  std::size_t answerCap = 16u << 20;
  // The firmware download fails beyond this size, and when, after its first `rateGrace`,
  // its average rate since the start falls below `minRate` bytes per second.
  std::uint64_t downloadCap = 256u << 20;
  std::chrono::milliseconds rateGrace{60'000};
  std::uint64_t minRate = 32u << 10;
};

// The defaults are the tool's; tests shorten them.
void SetTransferLimits(const TransferLimits& limits);
TransferLimits CurrentTransferLimits();
