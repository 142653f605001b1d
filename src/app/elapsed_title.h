#pragma once
#include <cstdint>
#include <string>

namespace moxi {

// "mm:ss" below an hour, "h:mm:ss" from an hour on.
std::string elapsedTitle(int64_t seconds);

}  // namespace moxi
