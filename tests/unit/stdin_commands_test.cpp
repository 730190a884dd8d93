#include "capture/stdin_commands.h"

#include <gtest/gtest.h>

#include <tuple>

#include "memory_streams.h"

namespace nimbra {
namespace {

using testing::cat;
using Flags = std::tuple<bool, bool, bool>;  // main key request, low layer on, low key request
using Lines = std::vector<std::string>;

// Reads `input` as a pipe hands it out, `chunk` bytes at most per read, failing from byte `fails_at` on.
// Every run ends with status 0, its input drained unless it failed early, having written `lines`.
Flags run_reading(const Bytes& input, std::size_t chunk, std::size_t fails_at = SIZE_MAX, const Lines& lines = {}) {
  testing::MemoryInput in(input, chunk);
  in.fail_at(fails_at);
  ControlFlags flags;
  std::vector<int> exits;
  Lines written;
  run_stdin_commands(flags, StdinPort{.read = [&](MutableBytes b) { return in.read(b); },
                                      .exit = [&](int status) { exits.push_back(status); },
                                      .diagnostic = [&](std::string_view line) { written.emplace_back(line); }});
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_EQ(written, lines);
  EXPECT_TRUE(fails_at < input.size() || in.remaining() == 0) << "the input must be drained";
  return {flags.main_key_request, flags.low_enabled, flags.low_key_request};
}

TEST(StdinCommands, RecordsDriveTheFlagsUntilTheInputEndsOrFails) {
  Bytes longest = {0x00, 0x04, 0x00, 0x00, 11};  // 1024 bytes: command 11 and ignored bytes
  longest.resize(4 + 1024, 0xAB);
  const std::vector<std::tuple<Bytes, std::size_t, Flags>> cases = {
      {{0, 0, 0, 0, 1, 0, 0, 0, 10}, SIZE_MAX, {true, false, false}},  // an empty record is skipped
      {{2, 0, 0, 0, 11, 0xFF}, SIZE_MAX, {false, true, true}},
      {{1, 0, 0, 0, 11, 1, 0, 0, 0, 12}, SIZE_MAX, {false, false, true}},  // off keeps the low key request
      {{1, 0, 0, 0, 13}, SIZE_MAX, {false, false, true}},
      {{1, 0, 0, 0, 9, 1, 0, 0, 0, 14, 1, 0, 0, 0, 0xFF}, SIZE_MAX, {false, false, false}},
      {{5, 0, 0, 0, 11, 0}, SIZE_MAX, {false, false, false}},  // a record cut short counts for nothing
      {{1, 0, 0, 0, 10, 5, 0}, SIZE_MAX, {true, false, false}},
      {cat({longest, {1, 0, 0, 0, 10}}), SIZE_MAX, {true, true, true}},
      {{1, 0, 0, 0, 10}, 4, {false, false, false}},
      {{1, 0, 0, 0, 10}, 5, {true, false, false}},
  };
  for (const auto& [input, fails_at, want] : cases) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{4096}}) {
      EXPECT_EQ(run_reading(input, chunk, fails_at), want) << ::testing::PrintToString(input) << " chunk " << chunk;
    }
  }
}

TEST(StdinCommands, OverlongLengthDisablesCommandsAndDrainsTheInput) {
  // Nothing after the fault may count: command 10 follows it. Draining ends at a read error here, at the end
  // of input in the capture process test, which also sends the largest length.
  const Bytes input = cat({{1, 0, 0, 0, 13, 0x01, 0x04, 0x00, 0x00, 1, 0, 0, 0, 10}, Bytes(300'000, 10)});
  EXPECT_EQ(run_reading(input, 4096, input.size(), {"[capture] stdin: кривая длина команды 1025 — команды отключены"}),
            (Flags{false, false, true}));
}

}  // namespace
}  // namespace nimbra
