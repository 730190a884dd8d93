#include "codec/rbsp.h"

namespace nimbra {

void RbspWriter::bits(std::uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1u);
}

void RbspWriter::ue(std::uint32_t value) {
  const std::uint64_t coded = std::uint64_t{value} + 1;
  int length = 0;
  while ((coded >> length) > 1) ++length;
  bits(0, length);
  for (int i = length; i >= 0; --i) bit(static_cast<std::uint32_t>((coded >> i) & 1u));
}

void RbspWriter::copy(const Bytes& from, std::size_t begin, std::size_t end) {
  for (std::size_t p = begin; p < end; ++p) bit((from[p / 8] >> (7 - p % 8)) & 1u);
}

void RbspWriter::byte(std::uint8_t value) {
  if (used_ % 8 != 0) return bits(value, 8);
  out_.push_back(value);
  used_ += 8;
}

void RbspWriter::align() {
  while (used_ % 8 != 0) bit(0);
}

Bytes RbspWriter::finish() {
  bit(1);  // rbsp_stop_one_bit
  align();
  return std::move(out_);
}

void RbspWriter::bit(std::uint32_t b) {
  if (used_ % 8 == 0) out_.push_back(0);
  if (b) out_.back() |= static_cast<std::uint8_t>(0x80u >> (used_ % 8));
  ++used_;
}

void escape_into(ByteView rbsp, Bytes& out) {
  int zeros = 0;
  for (std::uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
}

Bytes unescape(ByteView payload) {
  Bytes rbsp;
  rbsp.reserve(payload.size());
  int zeros = 0;
  for (std::uint8_t b : payload) {
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    rbsp.push_back(b);
  }
  return rbsp;
}

}  // namespace nimbra
