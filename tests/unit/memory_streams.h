#pragma once
// In-memory standard streams for the watch-mode tests.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>

#include "wire/input_stream.h"
#include "wire/output_stream.h"

namespace nimbra::test {

// Hands out at most `chunk` bytes per read, as a pipe would.
class MemoryInput : public InputStream {
 public:
  explicit MemoryInput(Bytes data, std::size_t chunk = 7) : data_(std::move(data)), chunk_(chunk) {}
  Result<std::size_t> read(MutableBytes buffer) override {
    if (failure_at_ && at_ >= *failure_at_) return fail("read failed");
    const std::size_t n = std::min({buffer.size(), chunk_, data_.size() - at_});
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(at_), n, buffer.begin());
    at_ += n;
    return n;
  }
  void fail_at(std::size_t offset) { failure_at_ = offset; }

 private:
  Bytes data_;
  std::size_t chunk_;
  std::size_t at_ = 0;
  std::optional<std::size_t> failure_at_;
};

// Collects what is written; refuses writes once `limit` bytes are reached.
class MemoryOutput : public OutputStream {
 public:
  Status write(ByteView bytes) override {
    if (data.size() + bytes.size() > limit) return fail("broken pipe");
    data.insert(data.end(), bytes.begin(), bytes.end());
    return {};
  }
  Status flush() override {
    ++flushes;
    return {};
  }
  Bytes data;
  std::size_t limit = static_cast<std::size_t>(-1);
  int flushes = 0;
};

}  // namespace nimbra::test
