#pragma once
// Standard output in memory, and the messages in it.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sys/bytes.h"
#include "wire/output_stream.h"

namespace nimbra::testing {

class MemoryOutput final : public OutputStream {
 public:
  Status write(ByteView bytes) override {
    std::lock_guard guard(lock_);
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return {};
  }
  Bytes data() const {
    std::lock_guard guard(lock_);
    return data_;
  }

 private:
  mutable std::mutex lock_;
  Bytes data_;
};

struct Message {
  std::uint8_t kind = 0;
  Bytes payload;
  std::string text() const { return std::string(payload.begin(), payload.end()); }
};

inline std::vector<Message> parse_messages(const Bytes& data) {
  std::vector<Message> messages;
  std::size_t at = 0;
  while (at + 5 <= data.size()) {
    const std::uint32_t length = data[at] | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t{data[at + 3]} << 24;
    Message m;
    m.kind = data[at + 4];
    m.payload.assign(data.begin() + at + 5, data.begin() + at + 4 + length);
    messages.push_back(std::move(m));
    at += 4 + length;
  }
  return messages;
}

inline std::vector<Message> messages_of_kind(const std::vector<Message>& all, std::uint8_t kind) {
  std::vector<Message> out;
  for (const Message& m : all) {
    if (m.kind == kind) out.push_back(m);
  }
  return out;
}

}  // namespace nimbra::testing
