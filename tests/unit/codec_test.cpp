#include "codec/avc_config.h"

#include <gtest/gtest.h>

#include <string>

#include "codec/encoder_timing.h"
#include "codec/sps_bt601.h"
#include "memory_streams.h"

namespace nimbra {
namespace {

using testing::be32;
using testing::cat;

const Bytes kSets = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce};

TEST(AvcConfig, ParsesTheLengthSizeAndBothParameterSetLists) {
  const std::vector<std::pair<Bytes, Result<AvcConfig>>> cases = {
      {{1, 0x64, 0, 0x2a, 0xfc, 0xe1, 0, 2, 0x67, 0x42, 1, 0, 2, 0x68, 0xce}, AvcConfig{1, kSets}},
      {{1, 0x64, 0, 0x2a, 0xff, 0xe0}, fail("invalid AVC config")},
      {{2, 0x64, 0, 0x2a, 0xff, 0xe0, 0}, fail("invalid AVC config")},  // version 2
      {{1, 0x64, 0, 0x2a, 0xff, 0xe0, 0}, fail("empty AVC config")},
      {{1, 0x64, 0, 0x2a, 0xff, 0xe1, 0, 2, 0x67, 0x42}, fail("missing PPS count")},
      {{1, 0x64, 0, 0x2a, 0xff, 0xe1, 0}, fail("truncated parameter set")},
      {{1, 0x64, 0, 0x2a, 0xff, 0xe1, 0, 0, 0}, fail("invalid parameter set")},
      {{1, 0x64, 0, 0x2a, 0xff, 0xe1, 0, 3, 0x67, 0x42}, fail("invalid parameter set")},
  };
  for (const auto& [bytes, want] : cases) EXPECT_EQ(parse_avc_config(bytes), want) << ::testing::PrintToString(bytes);
}

TEST(AvcConfig, AccessUnitsBecomeAnnexB) {
  const AvcConfig two{2, kSets}, four{4, kSets};
  // Behind the parameter sets and its start code, the largest NAL unit fills the access unit exactly.
  const std::size_t largest = kMaxAccessUnit - kSets.size() - 4;
  const auto nal = [](std::size_t size) { return cat({be32(static_cast<std::uint32_t>(size)), Bytes(size, 0x41)}); };
  struct Case {
    Bytes frame;
    bool key;
    std::optional<AvcConfig> config;
    Result<Bytes> want;
  };
  const std::vector<Case> cases = {
      {{}, true, four, fail("empty video frame")},
      {{0, 0, 0, 0x2a, 0x65}, false, {}, fail("missing AVC config")},
      {{0, 0, 1, 0x41}, false, {}, Bytes{0, 0, 1, 0x41}},
      {{0, 1, 9, 0, 2, 0x41, 0}, false, two, Bytes{0, 0, 0, 1, 9, 0, 0, 0, 1, 0x41, 0}},
      {{0, 1, 9, 0}, false, two, fail("truncated NAL length")},
      {{0, 0, 0, 0}, false, four, fail("invalid NAL size")},
      {{0, 0, 1, 0x65, 0x88, 0x84}, false, four, fail("invalid NAL size")},  // Annex-B read as lengths
      {nal(largest), true, four, cat({kSets, {0, 0, 0, 1}, Bytes(largest, 0x41)})},
      {nal(largest + 1), true, four, fail("invalid NAL size")},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(annexb_access_unit(c.frame, c.key, c.config), c.want) << "case " << i;
  }
}

TEST(EncoderTiming, DurationAndKeyIntervalFollowTheRate) {
  // fps, sample duration in 100 ns units, key-frame interval
  for (auto [fps, duration, interval] : {std::tuple{0u, 10'000'000, 30u}, {15u, 666'666, 30u}, {30u, 333'333, 60u}}) {
    EXPECT_EQ(std::pair(sample_duration_100ns(fps), key_frame_interval(fps)), std::pair(std::int64_t{duration}, interval))
        << fps;
  }
}

Bytes hex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes annexb(std::initializer_list<Bytes> nals) {
  Bytes out;
  for (const Bytes& nal : nals) out = cat({out, {0, 0, 0, 1}, nal});
  return out;
}

// Parameter sets written by libx264 (and one with its VUI removed); every expected result was read back by an
// independent H.264 parser as BT.601, limited range, centred chroma, with size, profile, aspect ratio and frame rate
// unchanged, and the streams decode to the same pictures as before.
TEST(SpsBt601, RelabelsTheVideoSignalOfEveryKindOfParameterSet) {
  struct Case {
    const char* what;
    const char* sps;
    const char* expected;
  };
  const Case cases[] = {
      {"high, VUI with timing and reordering, escapes on both sides",
       "6764001facd9405005bb0110000003001000000303c0f1831960",
       "6764001facd9405005bb016a0c0c0d4a000003000200000300781e30632c"},
      {"extended sample aspect ratio", "6764001facd9405005bbff0049000210000003001000000303c0f1831960",
       "6764001facd9405005bbff004900026a0c0c0d4a000003000200000300781e30632c"},
      {"BT.709, full range, left chroma overwritten",
       "67640028acd940780227e5c05b808080a0000003002000000781e30632c0",
       "67640028acd940780227e5c05a8303035280000003008000001e078c18cb"},
      {"constrained baseline", "6742c01eda0280bfe5c044000003000400000300f03c58ba80",
       "6742c01eda0280bfe5c05a8303035280000003008000001e078b1750"},
      {"no VUI at all", "6742c01eda0280bfe540", "6742c01eda0280bfe59a8303035204"},
  };
  // Also behind a three-byte start code at the very start, with trailing zero bytes before the next one.
  const auto unit = [](const char* sps) {
    return cat({{0, 0, 1}, hex(sps), {0, 0, 0, 0, 1}, hex("68ce3c80"), {0, 0, 1, 0x09, 0xf0, 0, 0, 1},
                hex("65888400000301ff")});
  };
  for (const Case& c : cases) {
    EXPECT_EQ(label_sps_bt601(annexb({hex(c.sps)})), annexb({hex(c.expected)})) << c.what;
    EXPECT_EQ(label_sps_bt601(unit(c.sps)), unit(c.expected)) << c.what;
    // A set that already says so is rewritten to the very same bytes.
    EXPECT_EQ(label_sps_bt601(annexb({hex(c.expected)})), annexb({hex(c.expected)})) << c.what;
  }
}

TEST(SpsBt601, LeavesEverythingElseAlone) {
  const Bytes cases[] = {
      // High 4:4:4: chroma location is only defined for 4:2:0.
      annexb({hex("67f4001e919b281405ff138088000003000800000301e078b16cb0")}),
      annexb({hex("6742c01eda02")}),  // a baseline set cut short
      annexb({hex("09f0"), hex("68ce3c80"), hex("65888400000301ff")}),  // AUD, PPS, slice
      annexb({hex("658800050167" "42c01eda0280bfe540")}),  // "00 05 01" and an SPS inside a slice: no start code
      {0, 0, 1, 0x67},  // a header and nothing more
      {},
      {0, 0, 0},
  };
  for (const Bytes& unit : cases) EXPECT_EQ(label_sps_bt601(unit), unit);
}

}  // namespace
}  // namespace nimbra
