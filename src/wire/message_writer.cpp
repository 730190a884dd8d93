#include "wire/message_writer.h"

#include <limits>

namespace nimbra {

MessageWriter::MessageWriter(OutputStream& out) : out_(out) { buffer_.reserve(kBufferSize); }

void MessageWriter::write(std::uint8_t kind, ByteView payload) {
  // A payload whose length cannot be framed would desynchronise the host.
  if (payload.size() >= std::numeric_limits<std::uint32_t>::max()) return;
  const std::uint32_t length = static_cast<std::uint32_t>(payload.size() + 1);
  const std::uint8_t header[5] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                  static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24),
                                  kind};
  std::lock_guard guard(lock_);
  failed_ = false;
  put(header);
  put(payload);
  drain();
  if (!failed_) (void)out_.flush();
  buffer_.clear();
}

// Small pieces gather in the buffer; a piece larger than the room left goes
// out after what is buffered, without being copied.
void MessageWriter::put(ByteView bytes) {
  if (buffer_.size() + bytes.size() <= kBufferSize) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return;
  }
  drain();
  if (bytes.size() < kBufferSize) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  } else if (!failed_ && !out_.write(bytes)) {
    failed_ = true;
  }
}

void MessageWriter::drain() {
  if (!buffer_.empty() && !failed_ && !out_.write(buffer_)) failed_ = true;
  buffer_.clear();
}

}  // namespace nimbra
