#include "wire/watch_wire.h"

#include <gtest/gtest.h>

#include "memory_streams.h"

namespace nimbra {
namespace {

using testing::be32;
using testing::cat;
using testing::MemoryInput;
using testing::MemoryOutput;

Bytes packet(std::uint8_t kind, const Bytes& payload) { return cat({{kind}, be32(payload.size()), payload}); }

// avcC with one SPS {67 42}, one PPS {68 ce}, length size `l`.
Bytes avcc(std::uint8_t l = 4) {
  return {1, 0x64, 0, 0x2a, static_cast<std::uint8_t>(0xfc | (l - 1)), 0xe1, 0, 2, 0x67, 0x42, 1, 0, 2, 0x68, 0xce};
}

Bytes with_description(const Bytes& d, const Bytes& frame) {
  return cat({{static_cast<std::uint8_t>(d.size() >> 8), static_cast<std::uint8_t>(d.size())}, d, frame});
}

const Bytes kParameterSets = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce};

TEST(ReadWatchPacket, ReadsPacketsUpToTheLargestUntilCleanEndAndPassesReadErrorsOn) {
  MemoryInput in(cat({packet(2, {0, 0, 1}), packet(3, Bytes(1048576, 9))}), 100000);
  BufferedReader reader(in);
  auto first = read_watch_packet(reader);
  ASSERT_TRUE(first && *first);
  EXPECT_TRUE((*first)->key());
  EXPECT_EQ((*first)->payload, (Bytes{0, 0, 1}));
  auto second = read_watch_packet(reader);
  ASSERT_TRUE(second && *second);
  EXPECT_FALSE((*second)->key());
  EXPECT_EQ((*second)->payload, Bytes(1048576, 9));
  auto end = read_watch_packet(reader);
  ASSERT_TRUE(end);
  EXPECT_FALSE(*end);

  MemoryInput failing(packet(3, Bytes(100, 1)));
  failing.fail_at(20);
  BufferedReader failing_reader(failing);
  EXPECT_EQ(read_watch_packet(failing_reader), fail("read failed"));
}

TEST(ReadWatchPacket, RefusesBadHeadersAndTruncation) {
  struct Case {
    const char* name;
    Bytes input;
    std::string error;
  };
  const Bytes valid = {0, 0, 0x65};
  const std::vector<Case> cases = {
      {"kind 0", packet(0, valid), "invalid kind"},
      {"kind 1", packet(1, valid), "invalid kind"},
      {"kind 4", packet(4, valid), "invalid kind"},
      {"length 2", packet(2, {0, 0}), "invalid frame size"},
      {"length 0", cat({{3}, be32(0)}), "invalid frame size"},
      {"length 1048577", cat({{2}, be32(1048577)}), "invalid frame size"},
      {"end after kind", {2}, BufferedReader::kTruncated},
      {"end inside length", {2, 0, 0}, BufferedReader::kTruncated},
      {"end after header", cat({{2}, be32(10)}), BufferedReader::kTruncated},
      {"end inside payload", cat({{2}, be32(10), {1, 2, 3}}), BufferedReader::kTruncated},
      // The kind is judged only once the header is complete.
      {"bad kind, short header", {7, 0}, BufferedReader::kTruncated},
  };
  for (const Case& c : cases) {
    MemoryInput in(c.input);
    BufferedReader reader(in);
    auto result = read_watch_packet(reader);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), c.error) << c.name;
  }
}

struct ParseCase {
  const char* name;
  Bytes payload;
  bool key;
  std::optional<AvcConfig> config_before;
  std::string error;  // empty: success with `expected`
  Bytes expected;
};

const AvcConfig kStored2{2, kParameterSets};
const AvcConfig kStored4{4, kParameterSets};

TEST(PayloadToAnnexB, MatchesTheRules) {
  Bytes description_7_empty = {1, 0x64, 0, 0x2a, 0xff, 0xe0, 0};
  Bytes description_6 = {1, 0x64, 0, 0x2a, 0xff, 0xe0};
  Bytes sps_eats_all = {1, 0x64, 0, 0x2a, 0xff, 0xe1, 0, 2, 0x67, 0x42};
  Bytes truncated_set = {1, 0x64, 0, 0x2a, 0xff, 0xe1, 0};
  Bytes zero_set = {1, 0x64, 0, 0x2a, 0xff, 0xe1, 0, 0, 0};
  Bytes long_set = {1, 0x64, 0, 0x2a, 0xff, 0xe1, 0, 3, 0x67, 0x42};
  Bytes version_2 = avcc();
  version_2[0] = 2;
  const std::vector<ParseCase> cases = {
      {"one byte", {0}, true, {}, "missing AVC description length", {}},
      {"empty", {}, false, {}, "missing AVC description length", {}},
      {"description longer than payload", {0, 5, 1, 2}, true, {}, "truncated AVC description", {}},
      {"3-byte payload, not a start code", {0, 0, 0x65}, false, {}, "missing AVC config", {}},
      {"6-byte description", with_description(description_6, {0x65}), true, {}, "invalid AVC config", {}},
      {"version 2", with_description(version_2, {0x65}), true, {}, "invalid AVC config", {}},
      {"7 bytes, no sets", with_description(description_7_empty, {0x65}), true, {}, "empty AVC config", {}},
      {"SPS list eats all", with_description(sps_eats_all, {0x65}), true, {}, "missing PPS count", {}},
      {"truncated set size", with_description(truncated_set, {0x65}), true, {}, "truncated parameter set", {}},
      {"zero set size", with_description(zero_set, {0x65}), true, {}, "invalid parameter set", {}},
      {"set beyond description", with_description(long_set, {0x65}), true, {}, "invalid parameter set", {}},
      {"description, empty frame", with_description(avcc(), {}), true, {}, "empty video frame", {}},
      {"no config, 00 00 00 2A", {0, 0, 0, 0, 0, 0x2a, 0x65}, false, {}, "missing AVC config", {}},
      {"no config, 3-byte start code", {0, 0, 0, 0, 1, 0x41}, false, {}, "", {0, 0, 1, 0x41}},
      {"no config, key, 4-byte start code", {0, 0, 0, 0, 0, 1, 0x65, 0x88}, true, {}, "", {0, 0, 0, 1, 0x65, 0x88}},
      {"L=4, NAL longer than frame", {0, 0, 0, 0, 0, 5, 1, 2, 3, 4}, false, kStored4, "invalid NAL size", {}},
      {"L=4, 3-byte frame", {0, 0, 0, 0, 5}, false, kStored4, "truncated NAL length", {}},
      {"L=4, zero NAL", {0, 0, 0, 0, 0, 0}, false, kStored4, "invalid NAL size", {}},
      {"L=2, delta", {0, 0, 0, 2, 0x65, 0x88}, false, kStored2, "", {0, 0, 0, 1, 0x65, 0x88}},
      {"L=2, key", {0, 0, 0, 2, 0x65, 0x88}, true, kStored2, "",
       cat({kParameterSets, {0, 0, 0, 1, 0x65, 0x88}})},
      {"L=2, two NALs", {0, 0, 0, 1, 9, 0, 2, 0x41, 0}, false, kStored2, "", {0, 0, 0, 1, 9, 0, 0, 0, 1, 0x41, 0}},
      {"L=2, trailing byte", {0, 0, 0, 1, 9, 0}, false, kStored2, "truncated NAL length", {}},
      // Once a configuration is stored, Annex-B input is read as lengths.
      {"stored config, Annex-B frame", {0, 0, 0, 0, 1, 0x65, 0x88, 0x84}, false, kStored4, "invalid NAL size", {}},
      {"description in packet, L=1", with_description(avcc(1), {2, 0x65, 0x88}), true, {}, "",
       cat({kParameterSets, {0, 0, 0, 1, 0x65, 0x88}})},
      {"description in packet, L=3", with_description(avcc(3), {0, 0, 1, 0x41}), false, {}, "", {0, 0, 0, 1, 0x41}},
  };
  for (const ParseCase& c : cases) {
    std::optional<AvcConfig> config = c.config_before;
    auto result = payload_to_annexb(c.payload, c.key, config);
    if (c.error.empty()) {
      ASSERT_TRUE(result) << c.name << ": " << result.error();
      EXPECT_EQ(*result, c.expected) << c.name;
    } else {
      ASSERT_FALSE(result) << c.name;
      EXPECT_EQ(result.error(), c.error) << c.name;
    }
  }
}

TEST(PayloadToAnnexB, DescriptionReplacesConfigEvenWhenFrameFails) {
  std::optional<AvcConfig> config = AvcConfig{2, {0, 0, 0, 1, 0x67}};
  auto result = payload_to_annexb(with_description(avcc(4), {}), true, config);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "empty video frame");
  ASSERT_TRUE(config);
  EXPECT_EQ(*config, kStored4);

  // A failing description leaves the stored one alone.
  Bytes bad = avcc();
  bad[0] = 0;
  EXPECT_FALSE(payload_to_annexb(with_description(bad, {0x65}), true, config));
  EXPECT_EQ(*config, kStored4);
}

TEST(PayloadToAnnexB, AccessUnitIsBoundedByTheLargestPayload) {
  // With its start code the NAL fits alone but not behind the parameter sets.
  std::optional<AvcConfig> config = kStored4;
  const std::size_t nal = kMaxWatchPayload - kParameterSets.size() - 4 + 1;
  Bytes payload = cat({{0, 0}, be32(static_cast<std::uint32_t>(nal)), Bytes(nal, 0x41)});
  auto key = payload_to_annexb(payload, true, config);
  ASSERT_FALSE(key);
  EXPECT_EQ(key.error(), "invalid NAL size");
  auto delta = payload_to_annexb(payload, false, config);
  ASSERT_TRUE(delta);
  EXPECT_EQ(delta->size(), nal + 4);
}

TEST(PictureRecord, WritesHeaderAndPixelsOrRefusesWrongSize) {
  MemoryOutput out;
  Bytes pixels(3 * 2 * 4, 7);
  ASSERT_TRUE(write_picture_record(out, pixels, {3, 2}));
  EXPECT_EQ(out.data, cat({be32(24), be32(3), be32(2), pixels}));
  EXPECT_EQ(out.flushed_at.size(), 1u);

  MemoryOutput other;
  auto wrong = write_picture_record(other, Bytes(23, 0), {3, 2});
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error(), "wrong output size");
  EXPECT_TRUE(other.data.empty());

  MemoryOutput closed;
  closed.limit = 12;
  auto broken = write_picture_record(closed, pixels, {3, 2});
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error(), "broken pipe");
}

}  // namespace
}  // namespace nimbra
