#pragma once
// What the harnesses share: an input that hands its bytes out in uneven
// pieces, as a pipe does, and a check that stops the run loudly.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sys/bytes.h"
#include "wire/input_stream.h"

namespace nimbra::fuzz {

[[noreturn]] inline void violated(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: %s\n", file, line, what);
  std::abort();
}

#define FUZZ_CHECK(condition) \
  ((condition) ? void() : ::nimbra::fuzz::violated("check failed: " #condition, __FILE__, __LINE__))

// Piece sizes come from `steps` in turn, so that one input also decides where
// reads are cut.
class PieceInput final : public InputStream {
 public:
  PieceInput(ByteView data, ByteView steps) : data_(data), steps_(steps) {}
  Result<std::size_t> read(MutableBytes buffer) override {
    std::size_t piece = steps_.empty() ? buffer.size() : std::size_t{steps_[turn_++ % steps_.size()]} * 97 + 1;
    piece = std::min({piece, buffer.size(), data_.size() - at_});
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(at_), piece, buffer.begin());
    at_ += piece;
    return piece;
  }
  bool drained() const { return at_ == data_.size(); }

 private:
  ByteView data_;
  ByteView steps_;
  std::size_t at_ = 0;
  std::size_t turn_ = 0;
};

}  // namespace nimbra::fuzz
