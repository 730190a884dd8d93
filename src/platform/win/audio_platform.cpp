#include <windows.h>
#include <objbase.h>

#include "platform/audio.h"
#include "platform/win/core_audio_sessions.h"
#include "platform/win/process_loopback.h"
#include "platform/win/toolhelp_process_table.h"

namespace nimbra::platform {
namespace {

// Names the thread where the system can (Windows 10 1607 and later).
void name_thread(const char* name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set == nullptr) return;
  const std::string_view text(name);
  set(GetCurrentThread(), std::wstring(text.begin(), text.end()).c_str());
}

}  // namespace

std::unique_ptr<audio::AudioPlatform> make_audio_platform() {
  auto platform = std::make_unique<audio::AudioPlatform>();
  platform->enter_thread = [](const char* name) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    name_thread(name);
  };
  platform->process_table = read_toolhelp_process_table;
  platform->sessions = make_core_audio_sessions();
  platform->captures = make_loopback_opener();
  platform->own_pid = GetCurrentProcessId();
  return platform;
}

}  // namespace nimbra::platform
