// The transfer of a payload as data reports, pipelined go-back-N: up to the window of
// reports in flight, cumulative acknowledgements; a NAK, or a reply period without any
// acknowledgement, sends everything again from the first unacknowledged report. Data report
// i carries bytes 62*i onward and the sequence number i mod 128. Each byte comes from the
// source once, which hashes the payload then: a retransmission sends the bytes kept from that
// read, so the digest is that of what the device was sent, whatever the file does meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "hiddfu/image.h"
#include "hiddfu/link.h"
#include "hiddfu/payload_source.h"

namespace hiddfu {

class GoBackNSender {
 public:
  enum class Result { kDone, kGone, kStalled, kReadFailed, kCancelled };
  // Called with the payload bytes acknowledged so far, each time that figure grows.
  using Acked = std::function<void(std::uint64_t bytes)>;

  // Sends what `source` gives, read through one fixed buffer that keeps the unacknowledged
  // bytes; after kReadFailed the source says why.
  GoBackNSender(Link& link, PayloadSource& source, std::uint32_t window, int replyMs);

  Result Run(const std::atomic<bool>& cancel, const Acked& acked);

 private:
  using Clock = std::chrono::steady_clock;

  bool Drain(int timeoutMs, const Acked& acked);
  bool ReadPayload(std::uint64_t offset, std::uint8_t* out, std::size_t n);
  bool Refill();
  void Rearm() { deadline_ = Clock::now() + std::chrono::milliseconds(replyMs_); }

  Link& link_;
  PayloadSource& source_;
  std::uint32_t size_;
  std::uint32_t total_;  // data reports
  std::uint32_t window_;
  int replyMs_;
  std::uint32_t base_ = 0;  // first report not yet acknowledged
  std::uint32_t next_ = 0;  // next report to send
  std::uint32_t sent_ = 0;  // reports sent at least once; after a rewind next_ < sent_
  int quietRounds_ = 0;
  Clock::time_point deadline_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t bufferStart_ = 0;  // never beyond the first unacknowledged byte
  std::size_t bufferLength_ = 0;
};

}  // namespace hiddfu
