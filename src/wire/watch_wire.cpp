#include "wire/watch_wire.h"

#include <array>

namespace nimbra {
namespace {

constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

std::uint32_t big_endian(ByteView bytes) {
  std::uint32_t value = 0;
  for (std::uint8_t b : bytes) value = value << 8 | b;
  return value;
}

void append_nal(Bytes& out, ByteView nal) {
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

// The AVC decoder configuration record: version, profile, compatibility,
// level, length size, then the SPS and PPS lists.
Result<AvcConfig> parse_description(ByteView d) {
  if (d.size() < 7 || d[0] != 1) return fail("invalid AVC config");
  AvcConfig config;
  config.length_size = (d[4] & 3u) + 1;
  std::size_t at = 6;
  for (int list = 0; list < 2; ++list) {
    std::size_t count = d[5] & 31u;
    if (list == 1) {
      if (at >= d.size()) return fail("missing PPS count");
      count = d[at++];
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (d.size() - at < 2) return fail("truncated parameter set");
      const std::size_t size = big_endian(d.subspan(at, 2));
      at += 2;
      if (size == 0 || size > d.size() - at) return fail("invalid parameter set");
      if (config.parameter_sets.size() + size + 4 > kMaxWatchPayload) return fail("invalid parameter set");
      append_nal(config.parameter_sets, d.subspan(at, size));
      at += size;
    }
  }
  if (config.parameter_sets.empty()) return fail("empty AVC config");
  return config;
}

bool starts_with_start_code(ByteView frame) {
  if (frame.size() >= 3 && frame[0] == 0 && frame[1] == 0 && frame[2] == 1) return true;
  return frame.size() >= 4 && frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 1;
}

}  // namespace

Result<std::optional<WatchPacket>> read_watch_packet(BufferedReader& in) {
  std::array<std::uint8_t, 1> kind{};
  auto first = in.read_exact(kind);
  if (!first) return fail(first.error());
  if (*first == ReadOutcome::EndBeforeFirstByte) return std::nullopt;

  std::array<std::uint8_t, 4> length_bytes{};
  auto header = in.read_exact(length_bytes);
  if (!header) return fail(header.error());
  if (*header == ReadOutcome::EndBeforeFirstByte) return fail(BufferedReader::kTruncated);

  if (kind[0] != 2 && kind[0] != 3) return fail("invalid kind");
  const std::uint32_t length = big_endian(length_bytes);
  if (length < 3 || length > kMaxWatchPayload) return fail("invalid frame size");

  WatchPacket packet;
  packet.kind = kind[0];
  packet.payload.resize(length);
  auto body = in.read_exact(packet.payload);
  if (!body) return fail(body.error());
  if (*body == ReadOutcome::EndBeforeFirstByte) return fail(BufferedReader::kTruncated);
  return packet;
}

Result<Bytes> payload_to_annexb(ByteView payload, bool key, std::optional<AvcConfig>& config) {
  if (payload.size() < 2) return fail("missing AVC description length");
  const std::size_t description_size = big_endian(payload.first(2));
  if (payload.size() - 2 < description_size) return fail("truncated AVC description");
  if (description_size > 0) {
    auto parsed = parse_description(payload.subspan(2, description_size));
    if (!parsed) return fail(parsed.error());
    config = std::move(*parsed);
  }

  ByteView frame = payload.subspan(2 + description_size);
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
    const std::size_t size = big_endian(frame.first(length_size));
    frame = frame.subspan(length_size);
    if (size == 0 || size > frame.size()) return fail("invalid NAL size");
    if (out.size() + size + 4 > kMaxWatchPayload) return fail("invalid NAL size");
    append_nal(out, frame.first(size));
    frame = frame.subspan(size);
  }
  return out;
}

Status write_picture_record(OutputStream& out, ByteView rgba, Size size) {
  const std::uint64_t expected = std::uint64_t{size.width} * size.height * 4;
  if (rgba.size() != expected || expected > 0xFFFFFFFFu) return fail("wrong output size");
  const auto count = static_cast<std::uint32_t>(expected);
  std::array<std::uint8_t, 12> header{};
  const std::uint32_t fields[3] = {count, size.width, size.height};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t b = 0; b < 4; ++b) header[i * 4 + b] = static_cast<std::uint8_t>(fields[i] >> (24 - 8 * b));
  }
  if (auto s = out.write(header); !s) return s;
  if (auto s = out.write(rgba); !s) return s;
  return out.flush();
}

}  // namespace nimbra
