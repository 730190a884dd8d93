#include "codec/avc_config.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace nimbra
