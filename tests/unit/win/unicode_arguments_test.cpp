#include <windows.h>

#include <gtest/gtest.h>

#include "win/program_run.h"

namespace {

// A lone surrogate cannot travel through a Unix command line (Wine turns it
// into U+FFFD), so this starts the program from inside Windows instead.
TEST(UnicodeArguments, UnpairedSurrogateIsRefusedSilently) {
  const std::optional<std::wstring> path = nimbra::testing::program_path();
  if (!path) GTEST_SKIP() << "NIMBRA_TEST_PROGRAM not set";
  for (const std::wstring& value : {std::wstring(L"w:5") + wchar_t(0xD800), std::wstring(1, wchar_t(0xDC00))}) {
    const auto run = nimbra::testing::run_program(*path, L"--source " + value + L" --parent 4242");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 64u);
    EXPECT_EQ(run->out, "");
    EXPECT_EQ(run->err, "");
  }
}

}  // namespace
