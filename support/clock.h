// The millisecond clock.
#pragma once

#include <cstdint>

// Wall-clock milliseconds since 1970-01-01 00:00:00 UTC; follows changes of the system time.
// Writes "time=" and the value.
std::int64_t NowMs();
