#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Drains a pipe on its own thread so the child never blocks on it.
struct Drain {
  HANDLE read;
  std::string data;
  static DWORD WINAPI run(void* self) {
    auto* d = static_cast<Drain*>(self);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(d->read, buffer, sizeof buffer, &got, nullptr) && got > 0) d->data.append(buffer, got);
    return 0;
  }
};

// A lone surrogate cannot travel through a Unix command line (Wine turns it
// into U+FFFD), so this starts the program from inside Windows instead.
TEST(UnicodeArguments, UnpairedSurrogateIsRefusedSilently) {
  const char* program = std::getenv("NIMBRA_TEST_PROGRAM");
  if (program == nullptr) GTEST_SKIP() << "NIMBRA_TEST_PROGRAM not set";
  std::wstring path;
  if (program[0] == '/') path = L"Z:";
  for (const char* c = program; *c; ++c) path += static_cast<wchar_t>(*c == '/' ? '\\' : *c);

  for (const std::wstring& value : {std::wstring(L"w:5") + wchar_t(0xD800), std::wstring(1, wchar_t(0xDC00))}) {
    std::wstring command = L"\"" + path + L"\" --source " + value + L" --parent 4242";
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    ASSERT_TRUE(CreatePipe(&out_read, &out_write, &inherit, 0));
    ASSERT_TRUE(CreatePipe(&err_read, &err_write, &inherit, 0));
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                               &child))
        << GetLastError();
    CloseHandle(out_write);
    CloseHandle(err_write);
    Drain out{out_read, {}}, err{err_read, {}};
    HANDLE readers[2] = {CreateThread(nullptr, 0, Drain::run, &out, 0, nullptr),
                         CreateThread(nullptr, 0, Drain::run, &err, 0, nullptr)};
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 30000), WAIT_OBJECT_0);
    WaitForMultipleObjects(2, readers, TRUE, 30000);
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    EXPECT_EQ(status, 64u);
    EXPECT_EQ(out.data, "");
    EXPECT_EQ(err.data, "");
    for (HANDLE h : {readers[0], readers[1], child.hProcess, child.hThread, out_read, err_read}) CloseHandle(h);
  }
}

}  // namespace
