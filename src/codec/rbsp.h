#pragma once
// The payload of an H.264 NAL unit: its raw bits (RBSP) written most
// significant bit first, and the emulation prevention bytes that keep a start
// code from appearing inside it.
#include <cstddef>
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra {

class RbspWriter {
 public:
  void bits(std::uint32_t value, int count);
  void ue(std::uint32_t value);  // exp-Golomb; se(v) of 0 is ue(v) of 0
  // Bits [begin, end) of `from`, counted from its first byte's top bit.
  void copy(const Bytes& from, std::size_t begin, std::size_t end);
  void align();  // zero bits up to the next byte
  // A whole byte; at a byte boundary it is appended as it is.
  void byte(std::uint8_t value);
  // The stop bit and the alignment after it: the finished RBSP.
  Bytes finish();

 private:
  void bit(std::uint32_t b);
  Bytes out_;
  std::size_t used_ = 0;
};

// Appends `rbsp` with an emulation prevention byte (3) before every byte of
// 0 to 3 that follows two zero bytes.
void escape_into(ByteView rbsp, Bytes& out);
// The RBSP inside an escaped payload.
Bytes unescape(ByteView payload);

}  // namespace nimbra
