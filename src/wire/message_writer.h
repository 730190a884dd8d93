#pragma once
// The one writer of capture mode's standard output. Every thread that reports
// to the host writes through it; a whole message, flush included, is written
// under one lock, so messages never interleave.
#include <cstdint>
#include <mutex>

#include "sys/bytes.h"
#include "wire/output_stream.h"

namespace nimbra {

enum class MessageKind : std::uint8_t {
  Json = 1,
  MainKey = 2,
  MainDelta = 3,
  Audio = 4,
  LowKey = 5,
  LowDelta = 6,
  Preview = 7,
};

class MessageWriter {
 public:
  static constexpr std::size_t kBufferSize = 65536;

  explicit MessageWriter(OutputStream& out);
  MessageWriter(const MessageWriter&) = delete;
  MessageWriter& operator=(const MessageWriter&) = delete;

  // Frames one message: length (payload + 1, little-endian 32-bit), kind,
  // payload; then flushes. A failed write loses the message and nothing else.
  void write(std::uint8_t kind, ByteView payload);
  void write(MessageKind kind, ByteView payload) { write(static_cast<std::uint8_t>(kind), payload); }

 private:
  void put(ByteView bytes);
  void drain();

  std::mutex lock_;
  OutputStream& out_;
  Bytes buffer_;
  bool failed_ = false;  // within the current message
};

}  // namespace nimbra
