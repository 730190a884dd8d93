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

TEST(WatchWire, ReadsPacketsUpToTheLargestUntilTheInputEnds) {
  MemoryInput in(cat({packet(2, {0, 0, 1}), packet(3, Bytes(kMaxWatchPayload, 9))}), 100000);
  BufferedReader reader(in);
  for (const auto& want : {std::pair(true, Bytes{0, 0, 1}), std::pair(false, Bytes(kMaxWatchPayload, 9))}) {
    auto got = read_watch_packet(reader);
    ASSERT_TRUE(got && *got);
    EXPECT_EQ(std::pair((*got)->key(), (*got)->payload), want);
  }
  EXPECT_EQ(read_watch_packet(reader), std::nullopt);
}

TEST(WatchWire, RefusesBadHeadersTruncationAndReadErrors) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {packet(1, {0, 0, 0x65}), "invalid kind"},
      {packet(2, {0, 0}), "invalid frame size"},
      {cat({{2}, be32(kMaxWatchPayload + 1)}), "invalid frame size"},
      {{2}, BufferedReader::kTruncated},
      {{2, 0, 0}, BufferedReader::kTruncated},
      {cat({{2}, be32(10)}), BufferedReader::kTruncated},
  };
  for (const auto& [input, error] : cases) {
    MemoryInput in(input);
    BufferedReader reader(in);
    EXPECT_EQ(read_watch_packet(reader), fail(error)) << ::testing::PrintToString(input);
  }
  MemoryInput failing(packet(3, Bytes(100, 1)));
  failing.fail_at(20);
  BufferedReader reader(failing);
  EXPECT_EQ(read_watch_packet(reader), fail("read failed"));
}

TEST(WatchWire, SplitsThePayloadAtTheDescriptionLength) {
  const auto split = [](const Bytes& payload) -> Result<std::pair<Bytes, Bytes>> {
    auto parts = split_video_payload(payload);
    if (!parts) return fail(parts.error());
    return std::pair(Bytes(parts->description.begin(), parts->description.end()),
                     Bytes(parts->frame.begin(), parts->frame.end()));
  };
  EXPECT_EQ(split({0}), fail("missing AVC description length"));
  EXPECT_EQ(split({0, 3, 1, 2}), fail("truncated AVC description"));
  EXPECT_EQ(split({0, 2, 1, 2}), std::pair(Bytes{1, 2}, Bytes{}));
  EXPECT_EQ(split(cat({{1, 0}, Bytes(256, 7), {0x65}})), std::pair(Bytes(256, 7), Bytes{0x65}));
}

TEST(WatchWire, PictureRecordIsHeaderAndPixelsFlushedOrAnError) {
  MemoryOutput out;
  const Bytes pixels(3 * 2 * 4, 7);
  ASSERT_TRUE(write_picture_record(out, pixels, {3, 2}));
  EXPECT_EQ(out.data, cat({be32(24), be32(3), be32(2), pixels}));
  EXPECT_EQ(out.flushed_at, std::vector<std::size_t>{36});

  MemoryOutput other;  // the header fits, the pixels do not
  other.limit = 12;
  EXPECT_EQ(write_picture_record(other, pixels, {3, 2}), fail("broken pipe"));
}

}  // namespace
}  // namespace nimbra
