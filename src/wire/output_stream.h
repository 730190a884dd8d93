#pragma once
#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

// Where whole byte runs go: standard output in the program, memory in tests.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  virtual Status write(ByteView bytes) = 0;
  virtual Status flush() { return {}; }
};

}  // namespace nimbra
