#include <string>
#include <vector>

#include "app/program.h"
#include "sys/process.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int status = nimbra::run_program(args);
  nimbra::platform::exit_process(status);
}
