#pragma once
// JSON encoding of the side files: compact, fields in declaration order,
// every "/" escaped as "\/", numbers in their shortest round-trip form
// (whole values without a fraction: 1280, not 1280.0). Encoding fails (no
// value) on a non-finite number or on a string that is not valid UTF-8.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/geometry.h"
#include "handoff/mouse_event.h"

namespace moxi::json {

std::optional<std::string> number(double v);

std::optional<std::string> encode(std::string_view utf8);
std::optional<std::string> encode(const MouseEvent& e);
std::optional<std::string> encode(const std::vector<MouseEvent>& events);
std::optional<std::string> encode(Size size);  // [width,height]

}  // namespace moxi::json
