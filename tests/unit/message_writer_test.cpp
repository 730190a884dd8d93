#include "wire/message_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

namespace nimbra {
namespace {

// Records every byte run; notices when two threads are inside it at once.
class MemoryStream final : public OutputStream {
 public:
  Status write(ByteView bytes) override {
    enter();
    calls.push_back(bytes.size());
    data.insert(data.end(), bytes.begin(), bytes.end());
    leave();
    if (fail_writes > 0) {
      --fail_writes;
      return fail("broken pipe");
    }
    return {};
  }
  Status flush() override {
    enter();
    flushed_at.push_back(data.size());
    leave();
    return {};
  }

  Bytes data;
  std::vector<std::size_t> calls;
  std::vector<std::size_t> flushed_at;
  int fail_writes = 0;
  std::atomic<bool> overlapped{false};

 private:
  void enter() {
    if (inside_.fetch_add(1) != 0) overlapped = true;
  }
  void leave() { inside_.fetch_sub(1); }
  std::atomic<int> inside_{0};
};

struct Parsed {
  std::uint8_t kind;
  Bytes payload;
};

// Splits a capture-mode output stream into its messages; fails on a torn tail.
std::vector<Parsed> parse_messages(const Bytes& data) {
  std::vector<Parsed> out;
  std::size_t at = 0;
  while (at < data.size()) {
    EXPECT_GE(data.size() - at, 5u) << "torn header at " << at;
    if (data.size() - at < 5) break;
    const std::uint32_t length = data[at] | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t{data[at + 3]} << 24;
    EXPECT_GE(length, 1u);
    EXPECT_LE(at + 4 + length, data.size()) << "torn payload at " << at;
    if (length == 0 || at + 4 + length > data.size()) break;
    out.push_back({data[at + 4], Bytes(data.begin() + at + 5, data.begin() + at + 4 + length)});
    at += 4 + length;
  }
  return out;
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

TEST(MessageWriter, FramesLengthKindPayload) {
  MemoryStream stream;
  MessageWriter writer(stream);
  const Bytes chunk = pattern(1000, 3);
  writer.write(MessageKind::MainKey, chunk);
  ASSERT_EQ(stream.data.size(), 1005u);
  EXPECT_EQ(Bytes(stream.data.begin(), stream.data.begin() + 5), (Bytes{0xE9, 0x03, 0x00, 0x00, 0x02}));
  EXPECT_EQ(Bytes(stream.data.begin() + 5, stream.data.end()), chunk);
  EXPECT_EQ(stream.flushed_at, std::vector<std::size_t>{1005});

  writer.write(MessageKind::LowKey, chunk);
  EXPECT_EQ(stream.data[1005 + 4], 0x05);
  writer.write(0xEE, {});
  EXPECT_EQ(Bytes(stream.data.end() - 5, stream.data.end()), (Bytes{0x01, 0x00, 0x00, 0x00, 0xEE}));
  EXPECT_EQ(stream.flushed_at.size(), 3u);
  EXPECT_EQ(stream.flushed_at.back(), stream.data.size());
}

TEST(MessageWriter, PayloadsAroundAndBeyondTheBuffer) {
  for (const std::size_t size : {65530u, 65531u, 65532u, 65536u, 200'000u, 921'600u}) {
    MemoryStream stream;
    MessageWriter writer(stream);
    writer.write(MessageKind::Preview, pattern(size, 9));
    writer.write(MessageKind::Json, pattern(10, 1));
    const auto messages = parse_messages(stream.data);
    ASSERT_EQ(messages.size(), 2u) << size;
    EXPECT_EQ(messages[0].kind, 7);
    EXPECT_EQ(messages[0].payload, pattern(size, 9)) << size;
    EXPECT_EQ(messages[1].payload, pattern(10, 1));
    EXPECT_EQ(stream.flushed_at, (std::vector<std::size_t>{size + 5, size + 20})) << size;
  }
}

TEST(MessageWriter, SmallMessageGoesOutInOneWrite) {
  MemoryStream stream;
  MessageWriter writer(stream);
  writer.write(MessageKind::Audio, pattern(3840, 0));
  EXPECT_EQ(stream.calls, std::vector<std::size_t>{3845});
}

TEST(MessageWriter, WriteErrorsLoseOnlyTheirMessage) {
  MemoryStream stream;
  MessageWriter writer(stream);
  stream.fail_writes = 1;
  writer.write(MessageKind::MainDelta, pattern(100, 1));  // lost
  writer.write(MessageKind::MainDelta, pattern(200'000, 2));
  stream.fail_writes = 1;
  writer.write(MessageKind::MainDelta, pattern(200'000, 3));  // header fails, payload not tried
  writer.write(MessageKind::MainDelta, pattern(50, 4));

  // Everything after the failed runs parses back exactly.
  const std::size_t first_failed = 105;
  const Bytes second(stream.data.begin() + first_failed, stream.data.begin() + first_failed + 200'005);
  auto messages = parse_messages(second);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].payload, pattern(200'000, 2));
  const Bytes last(stream.data.end() - 55, stream.data.end());
  messages = parse_messages(last);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].payload, pattern(50, 4));
  // After its header failed, the large message was not sent on.
  EXPECT_EQ(stream.data.size(), 105 + 200'005 + 5 + 55);
}

TEST(MessageWriter, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kMessages = 2500;
  MemoryStream stream;
  MessageWriter writer(stream);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&writer, t] {
      std::mt19937 rng(static_cast<unsigned>(t) + 1);
      for (int i = 0; i < kMessages; ++i) {
        // Mostly small, now and then beyond the buffer.
        const std::size_t size = rng() % 40 == 0 ? 60'000 + rng() % 100'000 : rng() % 3000;
        Bytes payload = pattern(size, static_cast<std::uint8_t>(i));
        if (size >= 4) {
          payload[0] = static_cast<std::uint8_t>(i);
          payload[1] = static_cast<std::uint8_t>(i >> 8);
        }
        writer.write(static_cast<std::uint8_t>(t + 1), payload);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(stream.overlapped);

  const auto messages = parse_messages(stream.data);
  ASSERT_EQ(messages.size(), std::size_t{kThreads} * kMessages);
  std::map<int, int> next;
  for (const auto& m : messages) {
    ASSERT_GE(m.kind, 1);
    ASSERT_LE(m.kind, kThreads);
    const int i = next[m.kind]++;
    Bytes want = pattern(m.payload.size(), static_cast<std::uint8_t>(i));
    if (want.size() >= 4) {
      want[0] = static_cast<std::uint8_t>(i);
      want[1] = static_cast<std::uint8_t>(i >> 8);
    }
    ASSERT_EQ(m.payload, want) << "thread " << int{m.kind} << " message " << i;
  }
  for (int t = 1; t <= kThreads; ++t) EXPECT_EQ(next[t], kMessages);
  EXPECT_EQ(stream.flushed_at.size(), messages.size());
}

}  // namespace
}  // namespace nimbra
