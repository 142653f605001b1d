#include "app/elapsed_title.h"

#include <cstdio>

namespace moxi {

std::string elapsedTitle(int64_t s) {
  if (s < 0) s = 0;  // a clock stepped backwards shows zero, not garbage
  int64_t h = s / 3600;
  int64_t m = (s - 3600 * h) / 60;
  int64_t sec = s - 3600 * h - 60 * m;
  char buf[48];
  if (s > 3599)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(h), static_cast<long long>(m),
                  static_cast<long long>(sec));
  else
    std::snprintf(buf, sizeof buf, "%02lld:%02lld", static_cast<long long>(m), static_cast<long long>(sec));
  return buf;
}

}  // namespace moxi
