#pragma once
// The program: reads the command line, picks the mode and wires the portable
// core to this platform's parts.
#include <string>
#include <vector>

namespace nimbra {

// Arguments without the program name, as UTF-8. Returns the exit status of
// watch mode or of a refused command line; capture mode never returns.
int run_program(const std::vector<std::string>& args);

}  // namespace nimbra
