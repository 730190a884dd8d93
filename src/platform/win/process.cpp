#include "platform/process.h"

#include <windows.h>
#include <mmsystem.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win/hresult.h"

namespace nimbra::platform {

void prepare_std_streams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

// Without per-monitor awareness a display scaled to 125-200 % hands GDI and
// the duplication virtual sizes and cropped or stretched images; without a
// 1 ms timer period every sleep of the frame pacing rounds up to 15.6 ms.
void prepare_capture() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  timeBeginPeriod(1);
}

// ExitProcess would run every DLL's detach code while the other threads are
// stopped wherever they stood (inside Media Foundation, say); terminating
// skips all of it. Every message was already written straight to the pipe.
[[noreturn]] void exit_process(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

namespace {

// A pipe that still has a writer answers PeekNamedPipe. Wine's stdin from a
// Unix pipe cannot be asked, and tells its end by reading nothing.
bool pipe_still_open(HANDLE pipe) {
  DWORD available = 0;
  return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) != 0;
}

}  // namespace

Result<std::size_t> read_stdin(MutableBytes buffer) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const DWORD want = buffer.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(buffer.size());
  for (;;) {
    DWORD got = 0;
    if (ReadFile(in, buffer.data(), want, &got, nullptr)) {
      // Nothing read from a pipe the host still holds is a zero-length write,
      // not the end of the input; a file ends where it ends.
      if (got == 0 && want > 0 && GetFileType(in) == FILE_TYPE_PIPE && pipe_still_open(in)) continue;
      return std::size_t{got};
    }
    const DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return std::size_t{0};
    return fail(error_text(HRESULT_FROM_WIN32(error)));
  }
}

Status write_stdout(ByteView bytes) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (!bytes.empty()) {
    DWORD done = 0;
    const DWORD want = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    if (!WriteFile(out, bytes.data(), want, &done, nullptr)) {
      return fail(error_text(HRESULT_FROM_WIN32(GetLastError())));
    }
    bytes = bytes.subspan(done);
  }
  return {};
}

void write_stderr_line(std::string_view line) {
  std::string text(line);
  text += '\n';
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
}

bool env_present(const char* name) { return GetEnvironmentVariableA(name, nullptr, 0) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND; }

std::string error_text(std::uint32_t code) { return hresult_text(static_cast<HRESULT>(code)); }

}  // namespace nimbra::platform
