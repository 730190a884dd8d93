#pragma once
// Runs the program under test (NIMBRA_TEST_PROGRAM) from inside Windows, with
// arguments only Windows can pass and handles only this process owns. Its
// stdin stays open until it ends, as a host's would.
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace nimbra::testing {

struct ProgramRun {
  DWORD status = 0;
  std::string out;
  std::string err;
};

inline std::optional<std::wstring> program_path() {
  const char* program = std::getenv("NIMBRA_TEST_PROGRAM");
  if (program == nullptr) return std::nullopt;
  std::wstring path = program[0] == '/' ? L"Z:" : L"";
  for (const char* c = program; *c; ++c) path += static_cast<wchar_t>(*c == '/' ? '\\' : *c);
  return path;
}

// Drains a pipe on its own thread so the child never blocks on it.
struct PipeDrain {
  HANDLE read;
  std::string data;
  static DWORD WINAPI run(void* self) {
    auto* d = static_cast<PipeDrain*>(self);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(d->read, buffer, sizeof buffer, &got, nullptr) && got > 0) d->data.append(buffer, got);
    return 0;
  }
};

// nullopt when the program could not be started or did not end within 60 s.
inline std::optional<ProgramRun> run_program(const std::wstring& path, const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in_read, in_write, out_read, out_write, err_read, err_write;
  if (!CreatePipe(&in_read, &in_write, &inherit, 0) || !CreatePipe(&out_read, &out_write, &inherit, 0) ||
      !CreatePipe(&err_read, &err_write, &inherit, 0)) {
    return std::nullopt;
  }
  for (HANDLE ours : {in_write, out_read, err_read}) SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  std::wstring command = L"\"" + path + L"\" " + arguments;
  PROCESS_INFORMATION child{};
  const bool started =
      CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
  for (HANDLE theirs : {in_read, out_write, err_write}) CloseHandle(theirs);
  std::optional<ProgramRun> run;
  if (started) {
    PipeDrain out{out_read, {}}, err{err_read, {}};
    HANDLE readers[2] = {CreateThread(nullptr, 0, PipeDrain::run, &out, 0, nullptr),
                         CreateThread(nullptr, 0, PipeDrain::run, &err, 0, nullptr)};
    if (WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0) {
      WaitForMultipleObjects(2, readers, TRUE, 30000);
      run.emplace();
      GetExitCodeProcess(child.hProcess, &run->status);
      run->out = std::move(out.data);
      run->err = std::move(err.data);
    } else {
      TerminateProcess(child.hProcess, 1);
      WaitForMultipleObjects(2, readers, TRUE, 30000);
    }
    for (HANDLE h : {readers[0], readers[1], child.hProcess, child.hThread}) CloseHandle(h);
  }
  for (HANDLE ours : {in_write, out_read, err_read}) CloseHandle(ours);
  return run;
}

}  // namespace nimbra::testing
