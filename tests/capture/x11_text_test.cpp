// Titles and class names of X windows come in three encodings.
#include "capture/x11_text.h"

#include <gtest/gtest.h>

using moxi::x11::TextEncoding;
using moxi::x11::textToUtf8;

TEST(X11Text, DecodesEachEncodingToUtf8) {
  EXPECT_EQ(textToUtf8("bad \xff end", TextEncoding::Utf8), "bad \xef\xbf\xbd end");
  EXPECT_EQ(textToUtf8(std::string_view("one\0two", 7), TextEncoding::Latin1), "one");

  EXPECT_EQ(textToUtf8("Caf\xe9", TextEncoding::CompoundText), "Caf\xc3\xa9");
  EXPECT_EQ(textToUtf8("a\x1b%G\xe2\x9c\x93\x1b%@b\xe9", TextEncoding::CompoundText), "a\xe2\x9c\x93" "b\xc3\xa9");
  // A set that is not decoded becomes one replacement mark per run.
  EXPECT_EQ(textToUtf8("x\x1b$)B\xb0\xa1\xb0\xa2\x1b(By", TextEncoding::CompoundText), "x\xef\xbf\xbdy");
}
