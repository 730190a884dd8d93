// The Linux encoder and decoder against each other and against the ffmpeg
// command-line tools as an independent peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "pixels/nv12_to_rgba.h"
#include "platform/codecs.h"
#include "synthetic_video.h"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

std::vector<int> nal_types(ByteView data) {
  std::vector<int> types;
  for (std::size_t i = 0; i + 3 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      types.push_back(data[i + 3] & 31);
      i += 2;
    }
  }
  return types;
}

bool has(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "nimbra-codec-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

double rgb_psnr(ByteView a, ByteView b) {
  Bytes x, y;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (i % 4 == 3) continue;
    x.push_back(a[i]);
    y.push_back(b[i]);
  }
  return test::psnr(x, y);
}

struct Encoded {
  std::vector<Bytes> sources;
  std::vector<Chunks> per_picture;
  Bytes stream;
};

Encoded encode(EncoderSettings settings, int frames, const std::set<int>& forced = {},
               const std::vector<Bytes>& given = {}) {
  Encoded e;
  auto encoder = platform::create_h264_encoder(settings);
  EXPECT_TRUE(encoder) << encoder.error();
  if (!encoder) return e;
  EXPECT_TRUE((*encoder)->force_key_supported());
  for (int t = 0; t < frames; ++t) {
    e.sources.push_back(given.empty() ? test::synthetic_nv12(settings.width, settings.height, t) : given[t]);
    auto chunks = (*encoder)->encode_nv12(e.sources.back(), forced.contains(t));
    EXPECT_TRUE(chunks) << chunks.error();
    if (!chunks) return e;
    for (const EncodedChunk& c : *chunks) e.stream.insert(e.stream.end(), c.data.begin(), c.data.end());
    e.per_picture.push_back(std::move(*chunks));
  }
  return e;
}

TEST(H264Codec, RoundTripKeepsQualityThroughOurDecoderAndFfmpeg) {
  constexpr std::uint32_t w = 1280, h = 720;
  constexpr int frames = 60;
  Encoded e = encode({w, h, 30, 2'500'000}, frames);
  ASSERT_EQ(e.per_picture.size(), std::size_t{frames});

  // No B-frames and no lookahead: one chunk per picture, at once.
  for (const Chunks& c : e.per_picture) ASSERT_EQ(c.size(), 1u);
  const EncodedChunk& first = e.per_picture[0][0];
  EXPECT_TRUE(first.key);
  const auto types = nal_types(first.data);
  EXPECT_TRUE(has(types, 7) && has(types, 8) && has(types, 5));
  const double kbps = e.stream.size() * 8.0 * 30 / frames / 1000;
  EXPECT_NEAR(kbps, 2500, 2500 * 0.3);

  auto decoder = platform::open_h264_decoder({{w, h}});
  ASSERT_TRUE(decoder) << decoder.error();
  std::vector<Bytes> pictures;
  for (const Chunks& c : e.per_picture) {
    auto out = (*decoder)->decode(c[0].data);
    ASSERT_TRUE(out) << out.error();
    // Low delay: each picture comes out for its own access unit.
    ASSERT_EQ(out->size(), 1u);
    pictures.push_back(std::move(out->front()));
  }
  EXPECT_EQ((*decoder)->display_size(), (Size{w, h}));
  double worst = 99;
  for (int t = 0; t < frames; ++t) {
    Bytes reference;
    ASSERT_TRUE(nv12_to_rgba(e.sources[t], w, h, w, reference));
    worst = std::min(worst, rgb_psnr(reference, pictures[t]));
  }
  RecordProperty("worst_rgb_psnr_ours", std::to_string(worst));
  std::printf("worst RGB PSNR through our decoder: %.2f dB\n", worst);
  EXPECT_GE(worst, 38.0);

  TempDir dir;
  { std::ofstream(dir / "s.h264", std::ios::binary).write(reinterpret_cast<const char*>(e.stream.data()), static_cast<std::streamsize>(e.stream.size())); }
  run("ffmpeg -v error -y -f h264 -i " + (dir / "s.h264").string() + " -f rawvideo -pix_fmt nv12 " +
      (dir / "s.yuv").string());
  const Bytes decoded = read_file(dir / "s.yuv");
  const std::size_t picture = std::size_t{w} * h * 3 / 2;
  ASSERT_EQ(decoded.size(), picture * frames);
  double worst_luma = 99;
  for (int t = 0; t < frames; ++t) {
    ByteView luma(decoded.data() + t * picture, std::size_t{w} * h);
    worst_luma = std::min(worst_luma, test::psnr(ByteView(e.sources[t]).first(std::size_t{w} * h), luma));
    // Both decoders must agree exactly once converted the same way.
    Bytes theirs;
    ASSERT_TRUE(nv12_to_rgba(ByteView(decoded.data() + t * picture, picture), w, h, w, theirs));
    ASSERT_EQ(theirs, pictures[t]) << "picture " << t;
  }
  std::printf("worst luma PSNR through ffmpeg: %.2f dB\n", worst_luma);
  EXPECT_GE(worst_luma, 38.0);

  const std::string probe = run("ffprobe -v error -select_streams v:0 -show_entries stream=profile,level,field_order "
                                "-of default=nw=1 " + (dir / "s.h264").string());
  EXPECT_NE(probe.find("profile=High\n"), std::string::npos) << probe;
  EXPECT_NE(probe.find("level=42\n"), std::string::npos) << probe;
  EXPECT_NE(probe.find("field_order=progressive"), std::string::npos) << probe;
}

// ffmpeg's own moving test pattern: sharp colour edges, text and noise.
TEST(H264Codec, FfmpegTestPatternKeepsQuality) {
  constexpr std::uint32_t w = 1280, h = 720;
  constexpr int frames = 60;
  TempDir dir;
  run("ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 60 -pix_fmt nv12 -f rawvideo " +
      (dir / "src.yuv").string());
  const Bytes raw = read_file(dir / "src.yuv");
  const std::size_t picture = std::size_t{w} * h * 3 / 2;
  ASSERT_EQ(raw.size(), picture * frames);
  std::vector<Bytes> sources;
  for (int t = 0; t < frames; ++t) sources.emplace_back(raw.begin() + t * picture, raw.begin() + (t + 1) * picture);
  Encoded e = encode({w, h, 30, 2'500'000}, frames, {}, sources);
  { std::ofstream(dir / "s.h264", std::ios::binary).write(reinterpret_cast<const char*>(e.stream.data()), static_cast<std::streamsize>(e.stream.size())); }
  run("ffmpeg -v error -y -f h264 -i " + (dir / "s.h264").string() + " -f rawvideo -pix_fmt nv12 " +
      (dir / "s.yuv").string());
  const Bytes decoded = read_file(dir / "s.yuv");
  ASSERT_EQ(decoded.size(), picture * frames);
  double worst = 99, sum = 0;
  for (int t = 0; t < frames; ++t) {
    const double p = test::psnr(ByteView(sources[t]).first(std::size_t{w} * h),
                                ByteView(decoded.data() + t * picture, std::size_t{w} * h));
    worst = std::min(worst, p);
    sum += p;
  }
  std::printf("test pattern luma PSNR: worst %.2f dB, mean %.2f dB, %.0f kbit/s\n", worst, sum / frames,
              e.stream.size() * 8.0 * 30 / frames / 1000);
  EXPECT_GE(worst, 38.0);
}

TEST(H264Codec, KeyFramesComeAtTheIntervalAndOnRequest) {
  struct Case {
    std::uint32_t fps;
    int frames;
    std::set<int> forced;
    std::vector<int> keys;
  };
  const std::vector<Case> cases = {
      {30, 130, {}, {0, 60, 120}},
      {10, 70, {}, {0, 30, 60}},
      {0, 35, {}, {0, 30}},
      {30, 80, {7, 8, 50}, {0, 7, 8, 50}},
  };
  for (const Case& c : cases) {
    Encoded e = encode({320, 180, c.fps, 500'000}, c.frames, c.forced);
    std::vector<int> keys;
    for (int t = 0; t < static_cast<int>(e.per_picture.size()); ++t) {
      ASSERT_EQ(e.per_picture[t].size(), 1u);
      const EncodedChunk& chunk = e.per_picture[t][0];
      const auto types = nal_types(chunk.data);
      // The key flag marks exactly the IDR pictures, and they carry SPS/PPS.
      EXPECT_EQ(chunk.key, has(types, 5)) << t;
      EXPECT_EQ(chunk.key, has(types, 7) && has(types, 8)) << t;
      if (chunk.key) keys.push_back(t);
    }
    EXPECT_EQ(keys, c.keys) << "fps " << c.fps;
  }
}

TEST(H264Codec, EncoderRefusesWrongPictureSize) {
  auto encoder = platform::create_h264_encoder({64, 48, 30, 300'000});
  ASSERT_TRUE(encoder);
  auto r = (*encoder)->encode_nv12(Bytes(64 * 48 * 3 / 2 - 1), false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "NV12: 4607 байт вместо 4608");
}

TEST(H264Codec, DecoderChoosesDisplaySizeAtEachFormatChange) {
  Encoded big = encode({1280, 720, 30, 2'000'000}, 3);
  Encoded small = encode({640, 360, 30, 800'000}, 3);
  Encoded full = encode({1920, 1080, 30, 4'000'000}, 2);
  Encoded huge = encode({2560, 1440, 30, 4'000'000}, 1);

  auto decoder = platform::open_h264_decoder({{1280, 720}, {640, 360}});
  ASSERT_TRUE(decoder);
  for (const Encoded* e : {&big, &small}) {
    for (const Chunks& c : e->per_picture) {
      auto out = (*decoder)->decode(c[0].data);
      ASSERT_TRUE(out) << out.error();
      ASSERT_EQ(out->size(), 1u);
      const Size shown = (*decoder)->display_size();
      EXPECT_EQ(shown, (e == &big ? Size{1280, 720} : Size{640, 360}));
      EXPECT_EQ(out->front().size(), std::size_t{shown.width} * shown.height * 4);
    }
  }

  // 1088 coded rows, 1080 shown.
  auto hd = platform::open_h264_decoder({{1920, 1080}});
  ASSERT_TRUE(hd);
  auto out = (*hd)->decode(full.per_picture[0][0].data);
  ASSERT_TRUE(out && out->size() == 1);
  EXPECT_EQ((*hd)->display_size(), (Size{1920, 1080}));

  // Not requested: shown at the coded size, padding rows included.
  auto other = platform::open_h264_decoder({{1280, 720}});
  ASSERT_TRUE(other);
  out = (*other)->decode(small.per_picture[0][0].data);
  ASSERT_TRUE(out && out->size() == 1);
  EXPECT_EQ((*other)->display_size(), (Size{640, 368}));

  auto too_big = platform::open_h264_decoder({{1280, 720}});
  ASSERT_TRUE(too_big);
  out = (*too_big)->decode(huge.per_picture[0][0].data);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), "indecent output size 2560x1440");
}

}  // namespace
}  // namespace nimbra
