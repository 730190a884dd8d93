#pragma once
// Exact-length reads over an InputStream, through one buffer, so that small
// header reads don't each become a system call.
#include <cstddef>

#include "sys/bytes.h"
#include "sys/result.h"
#include "wire/input_stream.h"

namespace nimbra {

enum class ReadOutcome { Complete, EndBeforeFirstByte };

class BufferedReader {
 public:
  static constexpr std::size_t kBufferSize = 65536;
  // Ending inside an exact read is an error with this text.
  static constexpr const char* kTruncated = "unexpected end of input";

  explicit BufferedReader(InputStream& in);

  // Fills `out` completely. An input that ends before the first byte gives
  // EndBeforeFirstByte; one that ends later is an error.
  Result<ReadOutcome> read_exact(MutableBytes out);

 private:
  InputStream& in_;
  Bytes buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace nimbra
