#pragma once
// Watch mode's byte formats: WatchPacket records from the host, their payload
// turned into Annex-B access units, and PictureRecord records back.
#include <cstdint>
#include <optional>

#include "sys/bytes.h"
#include "sys/result.h"
#include "wire/buffered_reader.h"
#include "wire/output_stream.h"

namespace nimbra {

inline constexpr std::size_t kMaxWatchPayload = 1'048'576;

struct WatchPacket {
  std::uint8_t kind = 0;  // 2 key frame, 3 delta frame
  Bytes payload;
  bool key() const { return kind == 2; }
};

// The parameter sets and NAL length size of the last AVC decoder
// configuration record the host sent.
struct AvcConfig {
  std::uint32_t length_size = 4;
  Bytes parameter_sets;  // Annex-B: each set behind 00 00 00 01
  friend bool operator==(const AvcConfig&, const AvcConfig&) = default;
};

// Reads one packet; nullopt when the input ends cleanly before its kind byte.
Result<std::optional<WatchPacket>> read_watch_packet(BufferedReader& in);

// Turns a packet payload (16-bit description length, description, frame)
// into an Annex-B access unit. A valid description replaces `config` even
// when the frame part then fails.
Result<Bytes> payload_to_annexb(ByteView payload, bool key, std::optional<AvcConfig>& config);

// Byte count, width and height (big-endian 32-bit), the RGBA pixels; flushed.
Status write_picture_record(OutputStream& out, ByteView rgba, Size size);

}  // namespace nimbra
