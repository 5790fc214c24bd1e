// The requests the reference service received, the latest kept. Safe to use from the server's
// threads. Internal to refservice/.
#pragma once

#include <httplib.h>

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "refservice/refservice.h"

class RequestLog {
 public:
  static constexpr std::size_t kKept = 256;

  void Record(const httplib::Request& req);
  std::vector<RecordedRequest> All() const;  // oldest first
  std::optional<RecordedRequest> Last() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::deque<RecordedRequest> requests_;
};
