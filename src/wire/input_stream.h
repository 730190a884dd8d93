#pragma once
#include <cstddef>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

// Where bytes come from: standard input in the program, memory in tests.
class InputStream {
 public:
  virtual ~InputStream() = default;
  // Reads up to buffer.size() bytes; 0 means the input has ended.
  virtual Result<std::size_t> read(MutableBytes buffer) = 0;
};

}  // namespace nimbra
