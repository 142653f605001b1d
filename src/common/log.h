#pragma once
#include <string_view>

namespace moxi {

// Diagnostics are single lines on standard output; this keeps lines from
// different threads from interleaving and flushes each one at once.
void logLine(std::string_view line);

}  // namespace moxi
