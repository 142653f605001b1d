#include "handoff/side_file_json.h"

#include <charconv>
#include <cmath>

namespace moxi::json {

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is malformed
// (overlong forms, surrogates and code points above U+10FFFF included).
size_t utf8Length(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n;
  unsigned lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else return 0;
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

std::optional<std::string> number(double v) {
  if (!std::isfinite(v)) return std::nullopt;
  // Plain notation for everyday magnitudes (so 100000 stays 100000), the
  // exponent form only for the very large and the very small.
  double a = std::fabs(v);
  auto format = (a == 0 || (a >= 1e-6 && a < 1e21)) ? std::chars_format::fixed : std::chars_format::scientific;
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, format);
  if (ec != std::errc()) return std::nullopt;
  return std::string(buf, end);
}

std::optional<std::string> encode(std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = utf8Length(s, i);
    if (n == 0) return std::nullopt;
    if (n > 1) {
      out.append(s.substr(i, n));
      i += n;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::optional<std::string> encode(const MouseEvent& e) {
  auto x = number(e.x), y = number(e.y), t = number(e.timestamp);
  if (!x || !y || !t) return std::nullopt;
  return "{\"x\":" + *x + ",\"y\":" + *y + ",\"down\":" + (e.down ? "true" : "false") + ",\"timestamp\":" + *t +
         "}";
}

std::optional<std::string> encode(const std::vector<MouseEvent>& events) {
  std::string out = "[";
  for (size_t i = 0; i < events.size(); ++i) {
    auto e = encode(events[i]);
    if (!e) return std::nullopt;
    if (i) out += ',';
    out += *e;
  }
  out += ']';
  return out;
}

std::optional<std::string> encode(Size size) {
  auto w = number(size.width), h = number(size.height);
  if (!w || !h) return std::nullopt;
  return "[" + *w + "," + *h + "]";
}

}  // namespace moxi::json
