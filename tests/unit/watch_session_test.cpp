#include "watch/watch_session.h"

#include <gtest/gtest.h>

#include <deque>

#include "memory_streams.h"
#include "wire/buffered_reader.h"

namespace nimbra {
namespace {

using testing::be32;
using testing::cat;
using testing::MemoryInput;
using testing::MemoryOutput;

Bytes packet(std::uint8_t kind, const Bytes& payload) { return cat({{kind}, be32(std::uint32_t(payload.size())), payload}); }

Bytes annexb_packet(std::uint8_t kind, std::uint8_t nal) { return packet(kind, {0, 0, 0, 0, 0, 1, nal}); }

// Plays back a script: for each access unit, the pictures to return and the
// display size to report afterwards.
struct Step {
  Result<std::vector<Bytes>> pictures;
  Size size;
};

struct FakeDecoderLog {
  std::vector<Size> opened_with;
  std::vector<Bytes> units;
  bool dropped = false;
};

class FakeDecoder : public H264Decoder {
 public:
  FakeDecoder(std::deque<Step> script, Size size, FakeDecoderLog& log)
      : script_(std::move(script)), size_(size), log_(log) {}
  ~FakeDecoder() override { log_.dropped = true; }
  Result<std::vector<Bytes>> decode(ByteView unit) override {
    log_.units.emplace_back(unit.begin(), unit.end());
    if (script_.empty()) return std::vector<Bytes>{};
    Step step = std::move(script_.front());
    script_.pop_front();
    size_ = step.size;
    return step.pictures;
  }
  Size display_size() const override { return size_; }

 private:
  std::deque<Step> script_;
  Size size_;
  FakeDecoderLog& log_;
};

struct SessionRun {
  Status status;
  Bytes output;
  FakeDecoderLog log;
  bool opened = false;
};

SessionRun run(WatchRequest request, Bytes input, std::deque<Step> script = {}, std::size_t output_limit = SIZE_MAX,
        std::optional<std::string> open_error = {}) {
  SessionRun r;
  MemoryInput in(std::move(input));
  MemoryOutput out;
  out.limit = output_limit;
  DecoderFactory factory = [&](const std::vector<Size>& sizes) -> Result<std::unique_ptr<H264Decoder>> {
    r.opened = true;
    r.log.opened_with = sizes;
    if (open_error) return fail(*open_error);
    return std::make_unique<FakeDecoder>(script, sizes.front(), r.log);
  };
  r.status = run_watch_session(request, in, out, factory);
  r.output = out.data;
  return r;
}

Bytes picture(Size s, std::uint8_t fill) { return Bytes(std::size_t{s.width} * s.height * 4, fill); }

Bytes record(Size s, std::uint8_t fill) {
  return cat({be32(s.width * s.height * 4), be32(s.width), be32(s.height), picture(s, fill)});
}

TEST(WatchSession, RefusesSizesBeforeOpeningAnything) {
  for (Size s : {Size{1921, 1080}, Size{1281, 720}, Size{1280, 721}, Size{0, 720}, Size{1920, 1082}, Size{2, 0}}) {
    SessionRun r = run({s, {}}, {});
    ASSERT_FALSE(r.status);
    EXPECT_EQ(r.status.error(), "invalid size");
    EXPECT_FALSE(r.opened);
  }
  EXPECT_TRUE(run({{2, 2}, {}}, {}).status);
  EXPECT_TRUE(run({{1920, 1080}, {}}, {}).status);
}

TEST(WatchSession, EmptyInputOpensAndDropsTheDecoderAndWritesNothing) {
  SessionRun r = run({{1280, 720}, Size{640, 360}}, {});
  ASSERT_TRUE(r.status);
  EXPECT_TRUE(r.output.empty());
  EXPECT_EQ(r.log.opened_with, (std::vector<Size>{{1280, 720}, {640, 360}}));
  EXPECT_TRUE(r.log.dropped);
  // The decoder's open error is the session's.
  EXPECT_EQ(run({{1280, 720}, {}}, {}, {}, SIZE_MAX, "decoder unavailable").status, fail("decoder unavailable"));
}

TEST(WatchSession, WritesOneRecordPerPictureAtTheSizeAfterDecode) {
  const Size big{8, 4}, small{4, 2};
  const Bytes input = cat({annexb_packet(2, 0x65), annexb_packet(3, 0x41), annexb_packet(3, 0x41)});
  std::deque<Step> script;
  script.push_back({std::vector<Bytes>{}, big});  // held back
  script.push_back({std::vector<Bytes>{picture(big, 1), picture(big, 2)}, big});
  script.push_back({std::vector<Bytes>{picture(small, 3)}, small});  // format change
  SessionRun r = run({big, small}, input, script);
  ASSERT_TRUE(r.status) << r.status.error();
  EXPECT_EQ(r.output, cat({record(big, 1), record(big, 2), record(small, 3)}));
  ASSERT_EQ(r.log.units.size(), 3u);
  EXPECT_EQ(r.log.units[0], (Bytes{0, 0, 0, 1, 0x65}));
  EXPECT_TRUE(r.log.dropped);
}

TEST(WatchSession, EndsAtTheFirstErrorKeepingWhatWasWritten) {
  const Size size{4, 2};
  struct Case {
    const char* name;
    Bytes input;
    std::deque<Step> script;
    std::size_t output_limit;
    std::string error;
    std::size_t records;
  };
  const Bytes good = annexb_packet(2, 0x65);
  const std::vector<Case> cases = {
      {"kind", cat({good, packet(9, {0, 0, 0})}), {{std::vector<Bytes>{picture(size, 1)}, size}}, SIZE_MAX,
       "invalid kind", 1},
      {"truncated", cat({good, {3, 0, 0, 0, 9}}), {{std::vector<Bytes>{picture(size, 1)}, size}}, SIZE_MAX,
       BufferedReader::kTruncated, 1},
      {"missing config", packet(3, {0, 0, 0, 0, 0, 0x2a, 1}), {}, SIZE_MAX, "missing AVC config", 0},
      {"decoder error", good, {{fail("output: boom"), size}}, SIZE_MAX, "output: boom", 0},
      // A format change after a picture was made leaves it the wrong size.
      {"wrong size", good, {{std::vector<Bytes>{picture(size, 1)}, Size{8, 4}}}, SIZE_MAX, "wrong output size", 0},
      {"closed output", good, {{std::vector<Bytes>{picture(size, 1), picture(size, 2)}, size}}, 50, "broken pipe", 1},
  };
  for (const Case& c : cases) {
    SessionRun r = run({size, {}}, c.input, c.script, c.output_limit);
    ASSERT_FALSE(r.status) << c.name;
    EXPECT_EQ(r.status.error(), c.error) << c.name;
    EXPECT_EQ(r.output.size(), c.records * record(size, 0).size()) << c.name;
    EXPECT_TRUE(r.log.dropped) << c.name;
  }
}

}  // namespace
}  // namespace nimbra
