#pragma once
// The AVC decoder configuration record (ISO/IEC 14496-15 "avcC") and the
// access units that go with it: length-prefixed NAL units turned into the
// Annex-B byte stream a decoder takes.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

// Bounds the parameter sets of one record and every access unit made here.
inline constexpr std::size_t kMaxAccessUnit = 1'048'576;

// The parameter sets and NAL length size of one configuration record.
struct AvcConfig {
  std::uint32_t length_size = 4;
  Bytes parameter_sets;  // Annex-B: each set behind 00 00 00 01, sequence sets first
  friend bool operator==(const AvcConfig&, const AvcConfig&) = default;
};

// Reads the version, the NAL length size and both parameter-set lists;
// everything else in the record is ignored.
Result<AvcConfig> parse_avc_config(ByteView record);

// One access unit as Annex-B. With a configuration the frame is always read as
// length-prefixed NAL units, and a key frame gets the parameter sets in front;
// without one only a frame that already starts with a start code is taken.
Result<Bytes> annexb_access_unit(ByteView frame, bool key, const std::optional<AvcConfig>& config);

}  // namespace nimbra
