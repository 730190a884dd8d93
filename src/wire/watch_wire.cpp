#include "wire/watch_wire.h"

#include <array>

namespace nimbra {

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
  const std::uint32_t length = big_endian_value(length_bytes);
  if (length < 3 || length > kMaxWatchPayload) return fail("invalid frame size");

  WatchPacket packet;
  packet.kind = kind[0];
  packet.payload.resize(length);
  auto body = in.read_exact(packet.payload);
  if (!body) return fail(body.error());
  if (*body == ReadOutcome::EndBeforeFirstByte) return fail(BufferedReader::kTruncated);
  return packet;
}

Result<VideoPayload> split_video_payload(ByteView payload) {
  if (payload.size() < 2) return fail("missing AVC description length");
  const std::size_t description_size = big_endian_value(payload.first(2));
  if (payload.size() - 2 < description_size) return fail("truncated AVC description");
  return VideoPayload{payload.subspan(2, description_size), payload.subspan(2 + description_size)};
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
