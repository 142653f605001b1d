#pragma once
// Text of X window properties (titles, class names) to UTF-8.
#include <string>
#include <string_view>

namespace moxi::x11 {

enum class TextEncoding {
  Utf8,          // UTF8_STRING; invalid sequences become U+FFFD
  Latin1,        // STRING (ISO 8859-1)
  CompoundText,  // COMPOUND_TEXT: ASCII/Latin-1 and embedded UTF-8 segments; other sets become U+FFFD
};

// Decodes up to the first NUL (property texts may hold several NUL-separated items).
std::string textToUtf8(std::string_view bytes, TextEncoding encoding);

}  // namespace moxi::x11
