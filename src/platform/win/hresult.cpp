#include "platform/win/hresult.h"

#include <cstdio>

namespace nimbra::platform {

std::string hresult_text(HRESULT code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(static_cast<DWORD>(code)));
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text;
  if (length != 0 && message != nullptr) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(bytes > 0 ? bytes : 0));
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), text.data(), bytes, nullptr, nullptr);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
      text.pop_back();
    }
  }
  if (message != nullptr) LocalFree(message);
  if (text.empty()) return hex;
  return text + " (" + hex + ")";
}

}  // namespace nimbra::platform
