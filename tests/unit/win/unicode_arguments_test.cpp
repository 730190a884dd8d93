// A lone surrogate cannot travel through a Unix command line (Wine turns it
// into U+FFFD), so the program under test (NIMBRA_TEST_PROGRAM) is started
// from inside Windows, its stdin open until it ends, as a host's would be.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct ProgramRun {
  DWORD status = 0;
  std::string out, err;
};

// Its status and what it wrote, which must fit the pipes; false when it did not end within 60 s.
bool run_program(const std::wstring& path, const std::wstring& arguments, ProgramRun& run) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in[2], out[2], err[2];  // read end, write end
  if (!CreatePipe(&in[0], &in[1], &inherit, 0) || !CreatePipe(&out[0], &out[1], &inherit, 0) ||
      !CreatePipe(&err[0], &err[1], &inherit, 0)) {
    return false;
  }
  for (HANDLE ours : {in[1], out[0], err[0]}) SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in[0];
  startup.hStdOutput = out[1];
  startup.hStdError = err[1];
  std::wstring command = L"\"" + path + L"\" " + arguments;
  PROCESS_INFORMATION child{};
  const bool started =
      CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
  for (HANDLE theirs : {in[0], out[1], err[1]}) CloseHandle(theirs);
  const bool ended = started && WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0;
  if (ended) GetExitCodeProcess(child.hProcess, &run.status);
  for (auto [pipe, text] : {std::pair{out[0], &run.out}, std::pair{err[0], &run.err}}) {
    char buffer[4096];
    DWORD got = 0;
    while (ended && ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) text->append(buffer, got);
  }
  if (started && !ended) TerminateProcess(child.hProcess, 1);
  for (HANDLE h : {in[1], out[0], err[0], child.hProcess, child.hThread}) CloseHandle(h);
  return ended;
}

TEST(UnicodeArguments, UnpairedSurrogateIsRefusedSilently) {
  const char* program = std::getenv("NIMBRA_TEST_PROGRAM");
  if (program == nullptr) GTEST_SKIP() << "NIMBRA_TEST_PROGRAM not set";
  std::wstring path = program[0] == '/' ? L"Z:" : L"";
  for (const char* c = program; *c; ++c) path += static_cast<wchar_t>(*c == '/' ? '\\' : *c);
  for (const std::wstring& value : {std::wstring(L"w:5") + wchar_t(0xD800), std::wstring(1, wchar_t(0xDC00))}) {
    ProgramRun run;
    ASSERT_TRUE(run_program(path, L"--source " + value + L" --parent 4242", run));
    EXPECT_EQ(run.status, 64u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
