// Watch packets as a remote peer may shape them: read, split, and turned into
// Annex-B with the configuration carried from packet to packet. The first four
// bytes cut the reads; the rest is standard input.
#include <algorithm>
#include <optional>

#include "codec/avc_config.h"
#include "fuzz_support.h"
#include "wire/buffered_reader.h"
#include "wire/watch_wire.h"

using namespace nimbra;

namespace {

void check_config(const AvcConfig& config) {
  FUZZ_CHECK(config.length_size >= 1 && config.length_size <= 4);
  FUZZ_CHECK(config.parameter_sets.size() >= 5 && config.parameter_sets.size() <= kMaxAccessUnit);
  FUZZ_CHECK(std::equal(config.parameter_sets.begin(), config.parameter_sets.begin() + 4, "\0\0\0\1"));
}

void check_unit(const Bytes& unit, ByteView frame, bool key, const std::optional<AvcConfig>& config) {
  FUZZ_CHECK(!unit.empty() && unit.size() <= kMaxAccessUnit);
  if (!config) {
    FUZZ_CHECK(std::ranges::equal(unit, frame));
  } else if (key) {
    FUZZ_CHECK(std::ranges::equal(ByteView(unit).first(config->parameter_sets.size()), config->parameter_sets));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView all(data, size);
  const std::size_t cut = std::min<std::size_t>(size, 4);
  fuzz::PieceInput input(all.subspan(cut), all.first(cut));
  BufferedReader reader(input);
  std::optional<AvcConfig> config;
  for (;;) {
    auto packet = read_watch_packet(reader);
    if (!packet) return 0;
    if (!*packet) {
      FUZZ_CHECK(input.drained());
      return 0;
    }
    const WatchPacket& p = **packet;
    FUZZ_CHECK((p.kind == 2 || p.kind == 3) && p.payload.size() >= 3 && p.payload.size() <= kMaxWatchPayload);
    auto parts = split_video_payload(p.payload);
    if (!parts) continue;
    FUZZ_CHECK(parts->description.size() + parts->frame.size() + 2 == p.payload.size());
    if (!parts->description.empty()) {
      auto parsed = parse_avc_config(parts->description);
      if (!parsed) continue;
      check_config(*parsed);
      config = std::move(*parsed);
    }
    if (auto unit = annexb_access_unit(parts->frame, p.key(), config)) check_unit(*unit, parts->frame, p.key(), config);
  }
}
