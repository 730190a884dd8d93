// The program's standard input as Windows hands it over (a pipe from the host, or a file), and the process table.
#include "platform/process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/win/toolhelp_process_table.h"

namespace nimbra::platform {
namespace {

// Reads standard input through `in` until read_stdin reports its end.
std::string read_all(HANDLE in) {
  const HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, in);
  std::string text;
  Bytes buffer(16);
  for (Result<std::size_t> got; (got = read_stdin(buffer)) && *got > 0;) text.append(buffer.begin(), buffer.begin() + *got);
  SetStdHandle(STD_INPUT_HANDLE, saved);
  return text;
}

TEST(Process, StdinEndsWhenTheHostClosesThePipeOrTheFileEnds) {
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  DWORD done = 0;
  WriteFile(write_end, "ab", 2, &done, nullptr);
  WriteFile(write_end, "", 0, &done, nullptr);  // not the end of anything
  WriteFile(write_end, "cd", 2, &done, nullptr);
  CloseHandle(write_end);
  EXPECT_EQ(read_all(read_end), "abcd");
  CloseHandle(read_end);

  wchar_t directory[MAX_PATH], path[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, directory), 0u);
  ASSERT_NE(GetTempFileNameW(directory, L"nim", 0, path), 0u);
  const HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  WriteFile(file, "xyz", 3, &done, nullptr);
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  EXPECT_EQ(read_all(file), "xyz");
  CloseHandle(file);
}

// Process names and parents as the audio scan sees them on Windows.
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
