#include "wire/message_writer.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "memory_streams.h"
#include "wire/handshake.h"

namespace nimbra {
namespace {

using testing::MemoryOutput;
using testing::parse_messages;

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

TEST(MessageWriter, FramesLengthKindPayloadAndFlushesEach) {
  MemoryOutput stream;
  MessageWriter writer(stream);
  writer.write(MessageKind::MainKey, pattern(1000, 3));
  writer.write(0xEE, {});
  writer.write(3, pattern(70'000, 5));
  EXPECT_EQ(stream.data, testing::cat({{0xE9, 0x03, 0x00, 0x00, 0x02}, pattern(1000, 3), {1, 0, 0, 0, 0xEE},
                                       {0x71, 0x11, 0x01, 0x00, 3}, pattern(70'000, 5)}));
  // A small message goes out in one write, a large payload in its own.
  EXPECT_EQ(stream.writes, (std::vector<std::size_t>{1005, 5, 5, 70'000}));
  EXPECT_EQ(stream.flushed_at, (std::vector<std::size_t>{1005, 1010, 71'015}));
}

TEST(MessageWriter, WriteErrorsLoseOnlyTheirMessage) {
  MemoryOutput stream;
  MessageWriter writer(stream);
  stream.fail_writes = 1;
  writer.write(MessageKind::MainDelta, pattern(100, 1));  // lost
  writer.write(MessageKind::MainDelta, pattern(200'000, 2));
  stream.fail_writes = 1;
  writer.write(MessageKind::MainDelta, pattern(200'000, 3));  // header fails: the payload is not sent on
  writer.write(MessageKind::MainDelta, pattern(50, 4));
  const auto messages = parse_messages(stream.data);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].payload, pattern(200'000, 2));
  EXPECT_EQ(messages[1].payload, pattern(50, 4));
}

TEST(MessageWriter, ConcurrentWritersNeverInterleave) {
  MemoryOutput stream;
  MessageWriter writer(stream);
  std::vector<std::thread> threads;
  for (std::uint8_t kind = 1; kind <= 4; ++kind) {
    threads.emplace_back([&, kind] {
      std::mt19937 rng(kind);  // mostly small, now and then beyond the buffer; the seed numbers the message
      for (int i = 0; i < 2500; ++i) {
        writer.write(kind, pattern(rng() % 40 == 0 ? 60'000 + rng() % 100'000 : 1 + rng() % 3000, std::uint8_t(i)));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(stream.overlapped);
  std::map<int, int> next;
  for (const auto& m : parse_messages(stream.data)) {
    const int i = next[m.kind]++;
    ASSERT_EQ(m.payload, pattern(m.payload.size(), static_cast<std::uint8_t>(i))) << int{m.kind} << " " << i;
  }
  EXPECT_EQ(next, (std::map<int, int>{{1, 2500}, {2, 2500}, {3, 2500}, {4, 2500}}));
}

// The handshake itself is held to its bytes by the session process test.
TEST(Handshake, ErrorTextIsEscapedAndBrokenUtf8Replaced) {
  EXPECT_EQ(error_json(R"(MFTEnumEx: "quoted" C:\path)"), R"({"error":"MFTEnumEx: \"quoted\" C:\\path"})");
  EXPECT_EQ(error_json("line\nnext\t\x01 энкодер"), "{\"error\":\"line\\nnext\\t\\u0001 энкодер\"}");
  EXPECT_EQ(error_json("bad \xFF\xC3 byte \xE2\x82"), "{\"error\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD byte \xEF\xBF\xBD\"}");
  EXPECT_EQ(low_error_json("x"), R"({"low_err":"x"})");
}

}  // namespace
}  // namespace nimbra
