#pragma once
#include "platform/process.h"
#include "wire/output_stream.h"

namespace nimbra {

// The process's standard output, written without a buffer of its own.
class StdoutStream final : public OutputStream {
 public:
  Status write(ByteView bytes) override { return platform::write_stdout(bytes); }
};

}  // namespace nimbra
