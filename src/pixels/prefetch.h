#pragma once
// A captured frame is fresh from memory. As they go, the scaling and
// conversion rows ask the cache for the same columns of the source rows they
// will read next, so that those rows stream in while the current ones are
// worked on; on its own, the processor's prefetching left them waiting on
// memory for a quarter to a half of their time.
#include <cstddef>
#include <cstdint>

namespace nimbra::detail {

// Asks for the cache line `ahead` bytes past p to come into the second-level
// cache: into the first, it would push out the lines in use. A prefetch
// never faults, so past the last row it costs only the request.
inline void prefetch_ahead(const std::uint8_t* p, std::ptrdiff_t ahead) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + ahead), 0, 1);
}

// For rows read at uneven steps, one window per target: asks once for each
// cache line `ahead` bytes past `first` (and `second`, if not null) as the
// reads reach it. With `ahead` 0 it asks for nothing.
class PrefetchCursor {
 public:
  PrefetchCursor(const std::uint8_t* first, const std::uint8_t* second, std::ptrdiff_t ahead)
      : first_(first), second_(second), ahead_(ahead), next_(ahead != 0 ? 0 : SIZE_MAX) {}

  void reach(std::size_t offset) {
    for (; next_ <= offset; next_ += 64) {
      prefetch_ahead(first_ + next_, ahead_);
      if (second_ != nullptr) prefetch_ahead(second_ + next_, ahead_);
    }
  }

 private:
  const std::uint8_t* first_;
  const std::uint8_t* second_;
  std::ptrdiff_t ahead_;
  std::size_t next_;
};

}  // namespace nimbra::detail
