#include "cli/utf16.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(Utf16, ConvertsEveryLengthOfSequenceAtItsEdges) {
  EXPECT_EQ(utf16_to_utf8(u"-\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF"),
            "-\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
}

TEST(Utf16, RefusesUnpairedSurrogates) {
  const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
  const char16_t lone_low[] = {0xDFFF, 0};
  const char16_t high_at_end[] = {u'1', 0xDBFF};
  EXPECT_FALSE(utf16_to_utf8(lone_high));
  EXPECT_FALSE(utf16_to_utf8(lone_low));
  EXPECT_FALSE(utf16_to_utf8(std::u16string_view(high_at_end, 2)));
}

}  // namespace
}  // namespace nimbra
