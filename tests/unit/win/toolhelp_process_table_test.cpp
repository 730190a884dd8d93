// Process names and parents as the audio scan sees them on Windows.
#include "platform/win/toolhelp_process_table.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace nimbra::platform {
namespace {

TEST(ToolhelpProcessTable, HoldsThisProcessByLowerCaseUtf8NameWithoutExe) {
  const wchar_t lone_surrogate[] = {L'a', 0xD800, L'b', L'.', L'E', L'X', L'E', 0};
  EXPECT_EQ(process_name(L"\u041f\u041b\u0415\u0415\u0420.exe"), "\u043f\u043b\u0435\u0435\u0440");
  EXPECT_EQ(process_name(std::wstring_view(lone_surrogate, 8)), "a\uFFFDb");
  EXPECT_EQ(process_name(std::wstring_view(L"a.exe.exe\0junk", 14)), "a.exe");
  const audio::ProcessTable table = read_toolhelp_process_table();
  const auto self = table.find(GetCurrentProcessId());
  ASSERT_NE(self, table.end());
  EXPECT_EQ(self->second.name, "nimbra_unit_tests");
  EXPECT_FALSE(table.contains(0));
}

}  // namespace
}  // namespace nimbra::platform
