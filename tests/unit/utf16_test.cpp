#include "cli/utf16.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(Utf16, ConvertsEveryPlane) {
  EXPECT_EQ(utf16_to_utf8(u"--source"), "--source");
  EXPECT_EQ(utf16_to_utf8(u"\u00D7\u2192"), "\xC3\x97\xE2\x86\x92");
  EXPECT_EQ(utf16_to_utf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Utf16, RefusesUnpairedSurrogates) {
  const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
  const char16_t lone_low[] = {0xDC00, 0};
  const char16_t high_at_end[] = {u'1', 0xDBFF, 0};
  EXPECT_FALSE(utf16_to_utf8(lone_high));
  EXPECT_FALSE(utf16_to_utf8(lone_low));
  EXPECT_FALSE(utf16_to_utf8(high_at_end));
}

}  // namespace
}  // namespace nimbra
