#include "watch/watch_session.h"

#include <optional>

#include "codec/avc_config.h"
#include "wire/buffered_reader.h"
#include "wire/watch_wire.h"

namespace nimbra {
namespace {

bool acceptable(Size s) {
  return s.width >= 2 && s.width <= 1920 && s.width % 2 == 0 && s.height >= 2 && s.height <= 1080 &&
         s.height % 2 == 0;
}

// A description replaces the stored configuration even when the frame after
// it then fails.
Result<Bytes> access_unit(const WatchPacket& packet, std::optional<AvcConfig>& config) {
  auto parts = split_video_payload(packet.payload);
  if (!parts) return fail(parts.error());
  if (!parts->description.empty()) {
    auto parsed = parse_avc_config(parts->description);
    if (!parsed) return fail(parsed.error());
    config = std::move(*parsed);
  }
  return annexb_access_unit(parts->frame, packet.key(), config);
}

}  // namespace

Status run_watch_session(const WatchRequest& request, InputStream& in, OutputStream& out,
                         const DecoderFactory& open_decoder) {
  if (!acceptable(request.size)) return fail("invalid size");
  std::vector<Size> sizes{request.size};
  if (request.second) sizes.push_back(*request.second);
  auto decoder = open_decoder(sizes);
  if (!decoder) return fail(decoder.error());

  BufferedReader reader(in);
  std::optional<AvcConfig> config;
  for (;;) {
    auto packet = read_watch_packet(reader);
    if (!packet) return fail(packet.error());
    if (!*packet) return {};
    auto unit = access_unit(**packet, config);
    if (!unit) return fail(unit.error());
    if (unit->empty() || unit->size() > kMaxAccessUnit) return fail("invalid packet");
    auto pictures = (*decoder)->decode(*unit);
    if (!pictures) return fail(pictures.error());
    const Size shown = (*decoder)->display_size();
    for (const Bytes& picture : *pictures) {
      if (auto written = write_picture_record(out, picture, shown); !written) return written;
    }
  }
}

}  // namespace nimbra
