#pragma once
// A first-in first-out run of interleaved samples: appended at the back,
// taken from the front, storage reused.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sys/bytes.h"

namespace nimbra::audio {

class SampleRing {
 public:
  explicit SampleRing(std::size_t capacity) { storage_.reserve(capacity); }

  std::size_t size() const { return storage_.size() - head_; }
  std::int16_t operator[](std::size_t i) const { return storage_[head_ + i]; }

  // Little-endian samples, as every platform here stores them.
  void append(ByteView bytes) {
    const std::size_t count = bytes.size() / 2;
    if (count == 0) return;
    compact(count);
    const std::size_t at = storage_.size();
    storage_.resize(at + count);
    std::memcpy(storage_.data() + at, bytes.data(), count * 2);
  }
  void append_silence(std::size_t count) {
    compact(count);
    storage_.resize(storage_.size() + count, 0);
  }
  void drop_front(std::size_t count) { head_ += std::min(count, size()); }

 private:
  // Moves the live samples to the front before the storage would grow.
  void compact(std::size_t incoming) {
    if (head_ == 0 || storage_.size() + incoming <= storage_.capacity()) return;
    storage_.erase(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }

  std::vector<std::int16_t> storage_;
  std::size_t head_ = 0;
};

}  // namespace nimbra::audio
