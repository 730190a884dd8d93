// The process entry of each platform: arguments as UTF-8, then the program.
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/process.h"

#ifdef _WIN32
#include <windows.h>

#include "cli/utf16.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    auto arg = nimbra::utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i]));
    if (!arg) nimbra::platform::exit_process(64);  // not Unicode: refused like any bad argument
    args.push_back(std::move(*arg));
  }
  nimbra::platform::exit_process(nimbra::run_program(args));
}
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  nimbra::platform::exit_process(nimbra::run_program(args));
}
#endif
