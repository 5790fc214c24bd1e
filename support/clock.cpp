#include <chrono>

#include "support/clock.h"
#include "support/log.h"

std::int64_t NowMs() {
  // The wall clock in 100 ns units, then milliseconds with truncation toward zero.
  using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
  const auto ticks =
      std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch());
  const std::int64_t ms = ticks.count() / 10'000;
  LogLine("time=", ms);
  return ms;
}
