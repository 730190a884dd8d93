#include "codec/sps_bt601.h"

#include <gtest/gtest.h>

#include <string>

#include "memory_streams.h"

namespace nimbra {
namespace {

using testing::cat;

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

// Parameter sets written by libx264 (and one with its VUI removed); every
// expected result was read back by an independent H.264 parser as BT.601,
// limited range, centred chroma, with size, profile, aspect ratio and frame
// rate unchanged, and the streams decode to the same pictures as before.
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
