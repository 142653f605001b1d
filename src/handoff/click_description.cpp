#include "handoff/click_description.h"

#include <cmath>
#include <cstdint>
#include <optional>

namespace moxi {

namespace {

// Truncation towards zero, refusing what int64 cannot hold (the cast would
// be undefined behaviour).
std::optional<int64_t> truncated(double v) {
  if (!std::isfinite(v)) return std::nullopt;
  double t = std::trunc(v);
  // 2^63 is exact in double; every double below it converts safely.
  if (t >= 9223372036854775808.0 || t < -9223372036854775808.0) return std::nullopt;
  return static_cast<int64_t>(t);
}

}  // namespace

std::string clickDescription(Size videoSize, const std::vector<MouseEvent>& events) {
  std::string text(kDescriptionPrefix);
  std::string groups;
  for (const MouseEvent& e : events) {
    if (!e.down) continue;
    auto x = truncated(e.x);
    auto y = truncated(e.y);
    auto t = truncated(e.timestamp * 1000);
    if (!x || !y || !t) continue;
    groups += ',' + std::to_string(*x) + ',' + std::to_string(*y) + ',' + std::to_string(*t);
  }
  if (groups.empty()) return text;
  text += std::to_string(truncated(videoSize.width).value_or(0));
  text += ',';
  text += std::to_string(truncated(videoSize.height).value_or(0));
  text += groups;
  return text;
}

}  // namespace moxi
