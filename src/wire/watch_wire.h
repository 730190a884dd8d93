#pragma once
// Watch mode's byte formats: WatchPacket records from the host, the two parts
// of their video payload, and PictureRecord records back.
#include <cstddef>
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

// A payload is a 16-bit big-endian description length, that many bytes of
// AVC decoder configuration record (none when 0), then the frame.
struct VideoPayload {
  ByteView description;
  ByteView frame;
};

// Reads one packet; nullopt when the input ends cleanly before its kind byte.
Result<std::optional<WatchPacket>> read_watch_packet(BufferedReader& in);

// Views into `payload`; the frame may be empty.
Result<VideoPayload> split_video_payload(ByteView payload);

// Byte count, width and height (big-endian 32-bit), the RGBA pixels; flushed.
Status write_picture_record(OutputStream& out, ByteView rgba, Size size);

}  // namespace nimbra
