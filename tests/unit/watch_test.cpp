#include "watch/watch_session.h"

#include <gtest/gtest.h>

#include "memory_streams.h"
#include "watch/display_size.h"
#include "watch/output_stride.h"
#include "wire/watch_wire.h"

namespace nimbra {
namespace {

using testing::be32;
using testing::cat;
using testing::MemoryInput;
using testing::MemoryOutput;

Bytes packet(std::uint8_t kind, const Bytes& payload) { return cat({{kind}, be32(payload.size()), payload}); }

// For each access unit: the pictures the decoder returns, and its display size afterwards.
using Step = std::pair<Result<std::vector<Bytes>>, Size>;

struct SessionRun {
  Status status;
  Bytes output;
  std::optional<std::vector<Size>> opened_with;
  std::vector<Bytes> units;  // as the decoder got them
};

SessionRun run(WatchRequest request, Bytes input, std::vector<Step> script = {}, std::size_t output_limit = SIZE_MAX,
               std::optional<std::string> open_error = {}) {
  struct ScriptedDecoder : H264Decoder {
    ScriptedDecoder(SessionRun& r, std::vector<Step> s, Size first) : run(r), script(std::move(s)), size(first) {}
    Result<std::vector<Bytes>> decode(ByteView unit) override {
      run.units.emplace_back(unit.begin(), unit.end());
      if (run.units.size() > script.size()) return std::vector<Bytes>{};
      size = script[run.units.size() - 1].second;
      return script[run.units.size() - 1].first;
    }
    Size display_size() const override { return size; }
    SessionRun& run;
    std::vector<Step> script;
    Size size;
  };
  SessionRun r;
  MemoryInput in(std::move(input));
  MemoryOutput out;
  out.limit = output_limit;
  const DecoderFactory open = [&](const std::vector<Size>& sizes) -> Result<std::unique_ptr<H264Decoder>> {
    r.opened_with = sizes;
    if (open_error) return fail(*open_error);
    return std::make_unique<ScriptedDecoder>(r, script, sizes.front());
  };
  r.status = run_watch_session(request, in, out, open);
  r.output = out.data;
  return r;
}

Bytes picture(Size s, std::uint8_t fill) { return Bytes(std::size_t{s.width} * s.height * 4, fill); }

Bytes record(Size s, std::uint8_t fill) {
  return cat({be32(s.width * s.height * 4), be32(s.width), be32(s.height), picture(s, fill)});
}

TEST(WatchSession, RefusesSizesBeforeOpeningAnything) {
  for (Size s : {Size{1922, 1080}, Size{1281, 720}, Size{1280, 721}, Size{0, 720}, Size{1920, 1082}, Size{2, 0}}) {
    const SessionRun r = run({s, {}}, {});
    EXPECT_EQ(r.status, fail("invalid size")) << s.width << "x" << s.height;
    EXPECT_FALSE(r.opened_with);
  }
  EXPECT_TRUE(run({{2, 2}, {}}, {}).status);
  EXPECT_EQ(run({{1280, 720}, {}}, {}, {}, SIZE_MAX, "decoder unavailable").status, fail("decoder unavailable"));
}

TEST(WatchSession, WritesOneRecordPerPictureAtTheSizeAfterDecode) {
  const Size big{8, 4}, small{4, 2};
  // The configuration of the key packet (SPS 67, PPS 68, 2-byte lengths) holds for the packets after it.
  const Bytes config = {0, 13, 1, 0x64, 0, 0x2a, 0xfd, 0xe1, 0, 1, 0x67, 1, 0, 1, 0x68};
  const Bytes input =
      cat({packet(2, cat({config, {0, 1, 0x65}})), packet(3, {0, 0, 0, 1, 0x41}), packet(3, {0, 0, 0, 1, 0x41})});
  const SessionRun r = run({big, small}, input,
                           {{std::vector<Bytes>{}, big},  // held back
                            {std::vector<Bytes>{picture(big, 1), picture(big, 2)}, big},
                            {std::vector<Bytes>{picture(small, 3)}, small}});  // format change
  ASSERT_TRUE(r.status) << r.status.error();
  EXPECT_EQ(r.opened_with, (std::vector<Size>{big, small}));
  EXPECT_EQ(r.output, cat({record(big, 1), record(big, 2), record(small, 3)}));
  EXPECT_EQ(r.units,
            (std::vector<Bytes>{
                {0, 0, 0, 1, 0x67, 0, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x65}, {0, 0, 0, 1, 0x41}, {0, 0, 0, 1, 0x41}}));
}

TEST(WatchSession, EndsAtTheFirstErrorKeepingWhatWasWritten) {
  const Size size{4, 2};
  const Bytes good = packet(2, {0, 0, 0, 0, 0, 1, 0x65});
  const std::vector<Step> one_picture = {{std::vector<Bytes>{picture(size, 1)}, size}};
  struct Case {
    Bytes input;
    std::vector<Step> script;
    std::size_t output_limit;
    std::string error;
    std::size_t records;
  };
  const std::vector<Case> cases = {
      {cat({good, packet(9, {0, 0, 0})}), one_picture, SIZE_MAX, "invalid kind", 1},
      {packet(3, {0, 2, 1, 0x64, 0x65}), {}, SIZE_MAX, "invalid AVC config", 0},
      {packet(3, {0, 0, 0, 0, 0, 0x2a, 1}), {}, SIZE_MAX, "missing AVC config", 0},
      {good, {{fail("output: boom"), size}}, SIZE_MAX, "output: boom", 0},
      // A format change after a picture was made leaves it the wrong size.
      {good, {{std::vector<Bytes>{picture(size, 1)}, Size{8, 4}}}, SIZE_MAX, "wrong output size", 0},
      {good, {{std::vector<Bytes>{picture(size, 1), picture(size, 2)}, size}}, 50, "broken pipe", 1},
  };
  for (const Case& c : cases) {
    const SessionRun r = run({size, {}}, c.input, c.script, c.output_limit);
    EXPECT_EQ(r.status, fail(c.error));
    EXPECT_EQ(r.output.size(), c.records * record(size, 0).size()) << c.error;
  }
}

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

TEST(DisplaySize, PicksRequestedSizeMatchingTheCodedSize) {
  const std::tuple<std::vector<Size>, Size, Result<Size>> cases[] = {  // requested, coded, displayed
      {{{1920, 1080}}, {1920, 1088}, Size{1920, 1080}},
      {{{1280, 720}, {640, 360}}, {640, 368}, Size{640, 360}},
      // No match: the coded size itself, padding rows included.
      {{{1280, 720}}, {640, 368}, Size{640, 368}},
      {{{1280, 720}}, {1280, 1024}, Size{1280, 1024}},
      {{{1280, 720}}, {0, 0}, fail("indecent output size 0x0")},
      {{{2, 2}}, {16, 16}, Size{2, 2}},
      // The first match wins, and is itself checked.
      {{{1276, 720}, {1280, 720}}, {1280, 720}, Size{1276, 720}},
      {{{1921, 1080}}, {1936, 1088}, fail("indecent output size 1921x1080")},
      {{{1920, 1081}}, {1920, 1088}, fail("indecent output size 1920x1081")},
  };
  for (const auto& [requested, coded, expected] : cases) {
    EXPECT_EQ(choose_display_size(requested, coded), expected) << coded.width << "x" << coded.height;
  }
}

TEST(OutputStride, UsesOnlyPlausibleReportedStrides) {
  EXPECT_EQ(output_stride(8192, 1920), 8192u);
  EXPECT_EQ(output_stride(8193, 1920), 1920u);
  EXPECT_EQ(output_stride(static_cast<std::uint32_t>(-1920), 1920), 1920u);  // bottom-up
  EXPECT_EQ(output_stride(1278, 1280), 1280u);
  EXPECT_EQ(output_stride(std::nullopt, 640), 640u);
}

}  // namespace
}  // namespace nimbra
