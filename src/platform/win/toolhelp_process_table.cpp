#include "platform/win/toolhelp_process_table.h"

#include <windows.h>
#include <tlhelp32.h>

#include "audio/app_scan.h"

namespace nimbra::platform {

std::string process_name(std::wstring_view file_name) {
  file_name = file_name.substr(0, std::min(file_name.find(L'\0'), std::size_t{MAX_PATH}));
  if (file_name.empty()) return {};
  std::wstring lowered(file_name.size() * 3, L'\0');  // lower case may be longer
  int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, file_name.data(), static_cast<int>(file_name.size()),
                             lowered.data(), static_cast<int>(lowered.size()), nullptr, nullptr, 0);
  if (length <= 0) {
    lowered.assign(file_name);
    length = static_cast<int>(lowered.size());
  }
  // Without WC_ERR_INVALID_CHARS an unpaired surrogate becomes U+FFFD.
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, lowered.data(), length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, lowered.data(), length, utf8.data(), bytes, nullptr, nullptr);
  return audio::normalise_process_name(utf8);
}

audio::ProcessTable read_toolhelp_process_table() {
  audio::ProcessTable table;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return table;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == 0) continue;
    table[entry.th32ProcessID] = {process_name(std::wstring_view(entry.szExeFile, MAX_PATH)), entry.th32ParentProcessID};
  }
  CloseHandle(snapshot);
  return table;
}

}  // namespace nimbra::platform
