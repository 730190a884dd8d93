#include "capture/stdin_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "memory_streams.h"
#include "test_pipe.h"

namespace nimbra {
namespace {

using testing::cat;

using Flags = std::tuple<bool, bool, bool>;  // main key request, low layer on, low key request

Flags snapshot(const ControlFlags& f) { return {f.main_key_request, f.low_enabled, f.low_key_request}; }

struct Outcome {
  Flags flags;
  std::vector<int> exits;
  std::vector<std::string> lines;
  std::size_t bytes_read = 0;
};

Outcome run_reading(std::function<Result<std::size_t>(MutableBytes)> read) {
  ControlFlags flags;
  Outcome out;
  run_stdin_commands(flags, StdinPort{
                                .read =
                                    [&](MutableBytes b) {
                                      auto got = read(b);
                                      if (got) out.bytes_read += *got;
                                      return got;
                                    },
                                .exit = [&](int status) { out.exits.push_back(status); },
                                .diagnostic = [&](std::string_view line) { out.lines.emplace_back(line); },
                            });
  out.flags = snapshot(flags);
  return out;
}

// Feeds `input` through a real pipe, written from another thread in pieces of
// `piece` bytes, then closed.
Outcome run_through_pipe(const Bytes& input, std::size_t piece = 1 << 20) {
  testing::TestPipe pipe;
  std::thread writer([&] {
    for (std::size_t at = 0; at < input.size(); at += piece) {
      pipe.write(Bytes(input.begin() + at, input.begin() + std::min(input.size(), at + piece)));
    }
    pipe.close_write();
  });
  Outcome out = run_reading([&](MutableBytes b) { return pipe.read(b); });
  writer.join();
  return out;
}

Bytes longest_record() {  // 1024 bytes: command 11 and ignored bytes
  Bytes record = {0x00, 0x04, 0x00, 0x00, 11};
  record.resize(4 + 1024, 0xAB);
  return record;
}

TEST(StdinCommands, RecordsDriveTheFlags) {
  struct Case {
    const char* name;
    Bytes input;
    Flags want;
  };
  const std::vector<Case> cases = {
      {"nothing", {}, {false, false, false}},
      {"empty record is skipped", {0, 0, 0, 0}, {false, false, false}},
      {"main key", {1, 0, 0, 0, 10}, {true, false, false}},
      {"low on with ignored byte", {2, 0, 0, 0, 11, 0xFF}, {false, true, true}},
      {"low off keeps low key", {1, 0, 0, 0, 11, 1, 0, 0, 0, 12}, {false, false, true}},
      {"low key alone", {1, 0, 0, 0, 13}, {false, false, true}},
      {"unknown codes", {1, 0, 0, 0, 0, 1, 0, 0, 0, 9, 1, 0, 0, 0, 14, 1, 0, 0, 0, 0xFF}, {false, false, false}},
      {"empty records between", {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 10, 0, 0, 0, 0}, {true, false, false}},
      {"cut inside the length", {1, 0, 0}, {false, false, false}},
      {"cut inside the payload", {2, 0, 0, 0}, {false, false, false}},
      {"cut after a complete record", {1, 0, 0, 0, 10, 5, 0}, {true, false, false}},
      {"payload cut short", {5, 0, 0, 0, 11, 0}, {false, false, false}},
      {"longest record", cat({longest_record(), {1, 0, 0, 0, 10}}), {true, true, true}},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 20}) {
      const auto out = run_through_pipe(c.input, piece);
      EXPECT_EQ(out.flags, c.want) << c.name << " piece " << piece;
      EXPECT_EQ(out.exits, std::vector<int>{0}) << c.name;
      EXPECT_TRUE(out.lines.empty()) << c.name;
    }
  }
}

TEST(StdinCommands, OverlongLengthDisablesCommandsAndDrains) {
  struct Case {
    Bytes header;
    const char* line;
  };
  const std::vector<Case> cases = {
      {{0x01, 0x04, 0x00, 0x00}, "[capture] stdin: кривая длина команды 1025 — команды отключены"},
      {{0x00, 0x00, 0x00, 0x01}, "[capture] stdin: кривая длина команды 16777216 — команды отключены"},
      {{0xFF, 0xFF, 0xFF, 0xFF}, "[capture] stdin: кривая длина команды 4294967295 — команды отключены"},
  };
  // Well past any pipe buffer: the reader must keep reading for the host not to block.
  Bytes later;
  for (int i = 0; i < 60'000; ++i) later.insert(later.end(), {1, 0, 0, 0, 10});
  for (const auto& c : cases) {
    const Bytes input = cat({{1, 0, 0, 0, 13}, c.header, later});
    const auto out = run_through_pipe(input, 4000);
    EXPECT_EQ(out.lines, std::vector<std::string>{c.line});
    EXPECT_EQ(out.flags, (Flags{false, false, true})) << "nothing after the fault may count";
    EXPECT_EQ(out.bytes_read, input.size());
    EXPECT_EQ(out.exits, std::vector<int>{0});
  }
}

TEST(StdinCommands, ReadErrorEndsLikeEndOfInputAlsoWhileDraining) {
  struct Case {
    Bytes input;
    std::size_t fails_at;
    Flags want;
    std::size_t lines;
  };
  const Bytes key = {1, 0, 0, 0, 10};
  const Case cases[] = {{key, 0, {false, false, false}, 0},
                        {key, 4, {false, false, false}, 0},
                        {key, 5, {true, false, false}, 0},
                        {cat({{0x01, 0x04, 0, 0}, Bytes(3000, 10)}), 2000, {false, false, false}, 1}};
  for (const Case& c : cases) {
    testing::MemoryInput in(c.input, 4);
    in.fail_at(c.fails_at);
    const Outcome out = run_reading([&](MutableBytes b) { return in.read(b); });
    EXPECT_EQ(out.flags, c.want) << c.fails_at;
    EXPECT_EQ(out.exits, std::vector<int>{0});
    EXPECT_EQ(out.lines.size(), c.lines);
  }
}

TEST(StdinCommands, ReaderThreadExitsOnClose) {
  // The detached thread may outlive this test's frame: it shares ownership.
  struct State {
    testing::TestPipe pipe;
    ControlFlags flags;
    std::promise<int> exited;
  };
  auto state = std::make_shared<State>();
  start_stdin_reader(state->flags, StdinPort{
                                       .read = [state](MutableBytes b) { return state->pipe.read(b); },
                                       .exit = [state](int status) { state->exited.set_value(status); },
                                       .diagnostic = [](std::string_view) {},
                                   });
  state->pipe.write({1, 0, 0, 0, 10});
  auto done = state->exited.get_future();
  EXPECT_EQ(done.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  state->pipe.close_write();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(done.get(), 0);
  EXPECT_TRUE(state->flags.main_key_request);
}

}  // namespace
}  // namespace nimbra
