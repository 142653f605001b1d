#include "common/clock.h"

#include <ctime>

namespace moxi {

double secondsSinceReferenceDate() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) - kReferenceDateOffset + static_cast<double>(ts.tv_nsec) / 1e9;
}

int64_t monotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace moxi
