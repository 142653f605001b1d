#include "platform/x11/x11_text.h"

#include <QString>

namespace moxi::x11 {

namespace {

void appendLatin1(std::string& out, unsigned char c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string validUtf8(std::string_view bytes) {
  return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())).toStdString();
}

const char kReplacement[] = "\xEF\xBF\xBD";

// Compound text is ISO 2022: escape sequences switch the character sets.
// Only the sets met in practice are decoded: ASCII (ESC ( B), the Latin-1
// right half (ESC - A), and UTF-8 segments (ESC % G ... ESC % @).
std::string compoundText(std::string_view s) {
  enum class Set { Latin1, Utf8, Other } set = Set::Latin1;
  std::string out, utf8;
  bool replaced = false;  // one replacement mark per run of an unknown set
  size_t i = 0;
  auto flushUtf8 = [&] {
    out += validUtf8(utf8);
    utf8.clear();
  };
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == 0x1B) {
      size_t j = i + 1;
      while (j < s.size() && s[j] >= 0x20 && s[j] <= 0x2F) ++j;  // intermediate bytes
      const std::string_view seq = s.substr(i + 1, j - i - 1);
      const char final = j < s.size() ? s[j] : '\0';
      i = j + 1;
      if (set == Set::Utf8) flushUtf8();
      replaced = false;
      if (seq == "%" && final == 'G') set = Set::Utf8;
      else if ((seq == "%" && final == '@') || (seq == "(" && final == 'B') || (seq == "-" && final == 'A'))
        set = Set::Latin1;
      else set = Set::Other;
      continue;
    }
    ++i;
    if (c == 0x9B) continue;  // direction control; its parameters follow as plain bytes
    switch (set) {
      case Set::Latin1: appendLatin1(out, c); break;
      case Set::Utf8: utf8.push_back(static_cast<char>(c)); break;
      case Set::Other:
        if (!replaced) out += kReplacement;
        replaced = true;
        break;
    }
  }
  if (set == Set::Utf8) flushUtf8();
  return out;
}

}  // namespace

std::string textToUtf8(std::string_view bytes, TextEncoding encoding) {
  bytes = bytes.substr(0, bytes.find('\0'));
  switch (encoding) {
    case TextEncoding::Utf8: return validUtf8(bytes);
    case TextEncoding::Latin1: {
      std::string out;
      for (char c : bytes) appendLatin1(out, static_cast<unsigned char>(c));
      return out;
    }
    case TextEncoding::CompoundText: return compoundText(bytes);
  }
  return {};
}

}  // namespace moxi::x11
