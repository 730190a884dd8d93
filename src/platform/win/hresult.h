#pragma once
#include <windows.h>

#include <string>

namespace nimbra::platform {

// "{system message} (0x{code:08X})", or "0x{code:08X}" alone when the system
// has no message for the code.
std::string hresult_text(HRESULT hr);

// "{step}: {hresult_text}".
inline std::string step_error(const char* step, HRESULT hr) { return std::string(step) + ": " + hresult_text(hr); }

}  // namespace nimbra::platform
