#include "cli/number_syntax.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

// The grammar tables of the command line go through every number rule; trimming is what they cannot show.
TEST(NumberSyntax, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_white_space("\u2003\u00A0 6 4 \u3000\r\n"), "6 4");
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space("\u200B640"), "\u200B640");  // zero width space is not white space
}

}  // namespace
}  // namespace nimbra
