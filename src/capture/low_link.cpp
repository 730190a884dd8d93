#include "capture/low_link.h"

#include <algorithm>
#include <utility>

namespace nimbra {

LowFeeder::LowFeeder(LowLink link, std::uint32_t fps, Clock& clock)
    : link_(std::move(link)), interval_(Duration(std::chrono::seconds(1)) / std::max<std::uint32_t>(fps, 1)),
      clock_(clock) {}

std::optional<Bytes> LowFeeder::buffer_if_due(bool key_request) {
  const bool due = !last_sent_ || clock_.now() - *last_sent_ + kTolerance >= interval_;
  if (!due && !key_request) return std::nullopt;

  std::optional<Bytes> buffer = link_.returned.try_receive();
  if (!buffer) {
    if (outstanding_ >= kMaxBuffers) return std::nullopt;
    ++outstanding_;
    buffer.emplace();
  }
  return buffer;
}

bool LowFeeder::hand_over(LowFrame frame) {
  switch (link_.frames.try_send(std::move(frame))) {
    case SendResult::Sent:
      last_sent_ = clock_.now();
      return true;
    case SendResult::Full:
      if (outstanding_ > 0) --outstanding_;
      return false;
    case SendResult::Closed:
      return false;
  }
  return false;
}

}  // namespace nimbra
