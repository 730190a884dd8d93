#include <windows.h>

#include <string>
#include <vector>

#include "app/program.h"
#include "cli/utf16.h"
#include "sys/process.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    auto arg = nimbra::utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i]));
    if (!arg) nimbra::platform::exit_process(64);  // not Unicode: refused like any bad argument
    args.push_back(std::move(*arg));
  }
  const int status = nimbra::run_program(args);
  nimbra::platform::exit_process(status);
}
