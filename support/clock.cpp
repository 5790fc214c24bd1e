#include <chrono>

#include "support/support.h"

std::int64_t NowMs() {
  // The wall clock in 100 ns units, then milliseconds with truncation toward zero.
  using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
  const auto ticks =
      std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch());
  const std::int64_t ms = ticks.count() / 10'000;
  LogLine("time=", ms);
  return ms;
}

bool SetConsoleOutputCodePage(unsigned /*codePage*/) {
  // A terminal decodes the bytes it is given with its own settings; there is nothing to set.
  return false;
}
