#include "platform/win/hresult.h"

#include <gtest/gtest.h>

namespace nimbra::platform {
namespace {

// hresult_text's two forms are held to Wine's texts, which end in a line break, by the encoder's process test.
TEST(Hresult, SystemMessagesBecomeOneLine) {
  EXPECT_EQ(one_line("The parameter is incorrect.\r\n  See the log.\r\n"), "The parameter is incorrect. See the log.");
  EXPECT_EQ(one_line("a\nb\r\rc  d\t"), "a b c  d");
  EXPECT_EQ(one_line(""), "");
}

}  // namespace
}  // namespace nimbra::platform
