#include "platform/win/hresult.h"

#include <cstdio>

namespace nimbra::platform {

std::string one_line(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t blanks = text.find_first_of(kBlanks, at);
    out += text.substr(at, blanks - at);
    if (blanks == std::string_view::npos) break;
    const std::size_t next = text.find_first_not_of(kBlanks, blanks);
    if (next == std::string_view::npos) break;
    const std::string_view run = text.substr(blanks, next - blanks);
    out += run.find_first_of("\r\n") == std::string_view::npos ? run : " ";
    at = next;
  }
  return out;
}

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
    if (bytes > 0) {
      WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(length), text.data(), bytes, nullptr, nullptr);
    }
    text = one_line(text);
  }
  if (message != nullptr) LocalFree(message);
  if (text.empty()) return hex;
  return text + " (" + hex + ")";
}

}  // namespace nimbra::platform
