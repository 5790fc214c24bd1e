// The faults the reference service's tests set per endpoint, and what they do to an answer:
// delays, stalls released when the faults change or the service stops, other statuses and
// bodies, padding, drips and endless bodies. Safe to use from the server's threads.
// Internal to refservice/.
#pragma once

#include <httplib.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "refservice/refservice.h"

class FaultBoard {
 public:
  void Set(RefEndpoint endpoint, RefFault fault);
  void Clear();
  RefFault For(RefEndpoint endpoint) const;
  // From Stopping(true) on, every wait ends at once.
  void Stopping(bool stopping);

  // Waits up to `duration`, or until the service stops, or (if `untilChange`) until the faults
  // change. False if the service is stopping.
  bool Wait(std::chrono::milliseconds duration, bool untilChange);

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::uint64_t generation_ = 0;  // bumped whenever the faults change: releases stalls
  std::array<RefFault, 4> faults_;
};

// Sends `normal`, the endpoint's own answer, shaped by the endpoint's fault.
void AnswerWithFault(FaultBoard& board, RefEndpoint endpoint, httplib::Response& res,
                     std::string normal,
                     const char* contentType = "application/json; charset=utf-8");

// Sends the hosted file at `path` as the file endpoint's fault shapes it.
void ServeFileWithFault(FaultBoard& board, const std::filesystem::path& path,
                        const char* contentType, httplib::Response& res);
