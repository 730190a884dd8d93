#include "codec/avc_config.h"

#include <iterator>

namespace nimbra {
namespace {

constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

void append_nal(Bytes& out, ByteView nal) {
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

bool starts_with_start_code(ByteView frame) {
  if (frame.size() >= 3 && frame[0] == 0 && frame[1] == 0 && frame[2] == 1) return true;
  return frame.size() >= 4 && frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 1;
}

}  // namespace

// Version, profile, compatibility, level, length size, then the sequence and
// picture parameter-set lists.
Result<AvcConfig> parse_avc_config(ByteView record) {
  if (record.size() < 7 || record[0] != 1) return fail("invalid AVC config");
  AvcConfig config;
  config.length_size = (record[4] & 3u) + 1;
  std::size_t at = 6;
  for (int list = 0; list < 2; ++list) {
    std::size_t count = record[5] & 31u;
    if (list == 1) {
      if (at >= record.size()) return fail("missing PPS count");
      count = record[at++];
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (record.size() - at < 2) return fail("truncated parameter set");
      const std::size_t size = big_endian_value(record.subspan(at, 2));
      at += 2;
      if (size == 0 || size > record.size() - at) return fail("invalid parameter set");
      if (config.parameter_sets.size() + size + 4 > kMaxAccessUnit) return fail("invalid parameter set");
      append_nal(config.parameter_sets, record.subspan(at, size));
      at += size;
    }
  }
  if (config.parameter_sets.empty()) return fail("empty AVC config");
  return config;
}

Result<Bytes> annexb_access_unit(ByteView frame, bool key, const std::optional<AvcConfig>& config) {
  if (frame.empty()) return fail("empty video frame");
  if (!config) {
    if (starts_with_start_code(frame)) return Bytes(frame.begin(), frame.end());
    return fail("missing AVC config");
  }

  Bytes out;
  out.reserve((key ? config->parameter_sets.size() : 0) + frame.size() + 16);
  if (key) out = config->parameter_sets;
  const std::size_t length_size = config->length_size;
  while (!frame.empty()) {
    if (frame.size() < length_size) return fail("truncated NAL length");
    const std::size_t size = big_endian_value(frame.first(length_size));
    frame = frame.subspan(length_size);
    if (size == 0 || size > frame.size()) return fail("invalid NAL size");
    if (out.size() + size + 4 > kMaxAccessUnit) return fail("invalid NAL size");
    append_nal(out, frame.first(size));
    frame = frame.subspan(size);
  }
  return out;
}

}  // namespace nimbra
