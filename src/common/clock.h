#pragma once
#include <cstdint>

namespace moxi {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the reference
// date of every wall-clock time the program stores.
inline constexpr double kReferenceDateOffset = 978307200.0;

// Wall-clock seconds since the reference date.
double secondsSinceReferenceDate();

// The monotonic clock that frame and audio time stamps use ("system uptime").
int64_t monotonicNanos();

}  // namespace moxi
