#pragma once
// Standard streams in memory, and the capture-mode messages in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire/input_stream.h"
#include "wire/output_stream.h"

namespace nimbra::testing {

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline Bytes be32(std::uint32_t v) {
  return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

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
  std::size_t remaining() const { return data_.size() - at_; }

 private:
  Bytes data_;
  std::size_t chunk_;
  std::size_t at_ = 0;
  std::optional<std::size_t> failure_at_;
};

// Collects what is written. Refuses writes past `limit` bytes and the next
// `fail_writes` writes; notices two threads inside it at once.
class MemoryOutput final : public OutputStream {
 public:
  Status write(ByteView bytes) override {
    const Inside inside(*this);
    if (fail_writes > 0) --fail_writes;
    else if (data.size() + bytes.size() <= limit) {
      writes.push_back(bytes.size());
      data.insert(data.end(), bytes.begin(), bytes.end());
      return {};
    }
    return fail("broken pipe");
  }
  Status flush() override {
    const Inside inside(*this);
    flushed_at.push_back(data.size());
    return {};
  }

  Bytes data;
  std::vector<std::size_t> writes;  // sizes of the accepted writes
  std::vector<std::size_t> flushed_at;
  std::size_t limit = SIZE_MAX;
  int fail_writes = 0;
  std::atomic<bool> overlapped{false};

 private:
  struct Inside {
    explicit Inside(MemoryOutput& o) : out(o) {
      if (out.inside_.fetch_add(1) != 0) out.overlapped = true;
    }
    ~Inside() { out.inside_.fetch_sub(1); }
    MemoryOutput& out;
  };
  std::atomic<int> inside_{0};
};

struct Message {
  std::uint8_t kind = 0;
  Bytes payload;
  std::string text() const { return std::string(payload.begin(), payload.end()); }
};

// Splits capture-mode output into its messages; fails the test on a torn tail.
inline std::vector<Message> parse_messages(const Bytes& data, int only_kind = -1) {
  std::vector<Message> out;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::uint32_t length =
        at + 5 > data.size() ? 0 : data[at] | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t{data[at + 3]} << 24;
    if (length == 0 || at + 4 + length > data.size()) {
      ADD_FAILURE() << "torn or empty message at " << at;
      break;
    }
    if (only_kind < 0 || data[at + 4] == only_kind) {
      out.push_back({data[at + 4], Bytes(data.begin() + at + 5, data.begin() + at + 4 + length)});
    }
    at += 4 + length;
  }
  return out;
}

}  // namespace nimbra::testing
