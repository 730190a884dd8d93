#pragma once
// The text of a failed Windows call, as every message of this program gives it.
#include <windows.h>

#include <string>
#include <string_view>

namespace nimbra::platform {

// "{system message} (0x{code:08X})", or "0x{code:08X}" alone when the system
// has no message for the code. The message is made one line: some span
// several, and a diagnostic must not break into lines of its own.
std::string hresult_text(HRESULT code);

// Every run of blanks that holds a line break becomes one space; blanks at
// the end go.
std::string one_line(std::string_view text);

// "{step}: {hresult_text}".
inline std::string step_error(std::string_view step, HRESULT code) {
  return std::string(step) + ": " + hresult_text(code);
}

// A failed call inside a helper, rendered by the caller: some messages name
// the call, others give the error's text alone.
struct FailedCall {
  std::string_view name;  // empty for calls that are never named
  HRESULT code = S_OK;
  std::string text() const { return hresult_text(code); }
  std::string named_text() const { return name.empty() ? text() : step_error(name, code); }
};

}  // namespace nimbra::platform
