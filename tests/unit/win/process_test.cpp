// The program's standard input as Windows hands it over: a pipe from the
// host, or a file.
#include "platform/process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace nimbra::platform
