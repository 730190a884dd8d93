// A lone surrogate cannot travel through a Unix command line (Wine turns it
// into U+FFFD), so the program under test (NIMBRA_TEST_PROGRAM) is started
// from inside Windows, its stdin open until it ends, as a host's would be.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Its status and all it wrote to stdout and stderr (which must fit the pipe); false when it did not end within 60 s.
bool run_program(const std::wstring& path, const std::wstring& arguments, DWORD& status, std::string& written) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in[2], out[2];  // read end, write end
  if (!CreatePipe(&in[0], &in[1], &inherit, 0) || !CreatePipe(&out[0], &out[1], &inherit, 0)) return false;
  SetHandleInformation(in[1], HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out[0], HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in[0];
  startup.hStdOutput = startup.hStdError = out[1];
  std::wstring command = L"\"" + path + L"\" " + arguments;
  PROCESS_INFORMATION child{};
  const bool started =
      CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
  CloseHandle(in[0]), CloseHandle(out[1]);
  const bool ended = started && WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0;
  if (ended) GetExitCodeProcess(child.hProcess, &status);
  char buffer[4096];
  for (DWORD got = 0; ended && ReadFile(out[0], buffer, sizeof buffer, &got, nullptr) && got > 0;) written.append(buffer, got);
  if (started && !ended) TerminateProcess(child.hProcess, 1);
  for (HANDLE h : {in[1], out[0], child.hProcess, child.hThread}) CloseHandle(h);
  return ended;
}

TEST(UnicodeArguments, UnpairedSurrogateIsRefusedSilently) {
  const char* program = std::getenv("NIMBRA_TEST_PROGRAM");
  if (program == nullptr) GTEST_SKIP() << "NIMBRA_TEST_PROGRAM not set";
  std::wstring path = program[0] == '/' ? L"Z:" : L"";
  for (const char* c = program; *c; ++c) path += static_cast<wchar_t>(*c == '/' ? '\\' : *c);
  for (const std::wstring& value : {std::wstring(L"w:5") + wchar_t(0xD800), std::wstring(1, wchar_t(0xDC00))}) {
    DWORD status = 0;
    std::string written;
    ASSERT_TRUE(run_program(path, L"--source " + value + L" --parent 4242", status, written));
    EXPECT_EQ(status, 64u);
    EXPECT_EQ(written, "");
  }
}

}  // namespace
