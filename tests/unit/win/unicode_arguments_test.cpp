// A lone surrogate cannot travel through a Unix command line (Wine turns it into U+FFFD), so the program under test
// (NIMBRA_TEST_PROGRAM) is started from inside Windows. It must refuse before it reads or writes anything.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(UnicodeArguments, UnpairedSurrogateIsRefusedSilently) {
  const char* program = std::getenv("NIMBRA_TEST_PROGRAM");
  if (program == nullptr) GTEST_SKIP() << "NIMBRA_TEST_PROGRAM not set";
  std::wstring path = program[0] == '/' ? L"Z:" : L"";
  for (const char* c = program; *c; ++c) path += static_cast<wchar_t>(*c == '/' ? '\\' : *c);
  std::wstring command = L"\"" + path + L"\" --source w:5" + wchar_t(0xD800) + L" --parent 4242";

  // Its stdout and stderr go into one pipe, which must stay empty; it has no stdin.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = write_end;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(
      CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child));
  CloseHandle(write_end);
  if (WaitForSingleObject(child.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 1);
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  std::string written;
  char buffer[4096];
  for (DWORD got = 0; ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0;) written.append(buffer, got);
  for (HANDLE h : {read_end, child.hProcess, child.hThread}) CloseHandle(h);
  EXPECT_EQ(status, 64u);
  EXPECT_EQ(written, "");
}

}  // namespace
