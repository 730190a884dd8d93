#include "platform/win/hresult.h"

#include <gtest/gtest.h>

namespace nimbra::platform {
namespace {

TEST(Hresult, SystemMessagesBecomeOneLine) {
  EXPECT_EQ(one_line("Catastrophic failure\r\n"), "Catastrophic failure");
  EXPECT_EQ(one_line("The parameter is incorrect.\r\n  See the log.\r\n"), "The parameter is incorrect. See the log.");
  EXPECT_EQ(one_line("a\nb\r\rc  d\t"), "a b c  d");
  EXPECT_EQ(one_line(""), "");
  for (const auto& [code, hex] : {std::pair{E_POINTER, "0x80004003"}, std::pair{HRESULT(ERROR_BROKEN_PIPE), "0x0000006D"}}) {
    const std::string text = hresult_text(code);
    EXPECT_TRUE(text == hex || (text.ends_with(std::string(" (") + hex + ")") && text.find_first_of("\r\n") == std::string::npos)) << text;
  }
}

}  // namespace
}  // namespace nimbra::platform
