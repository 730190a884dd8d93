// The Linux encoder and decoder against each other and against the ffmpeg
// command-line tools as an independent peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// Runs an ffmpeg tool on `stream` (written to a file) and returns what it prints.
std::string run_on(const Bytes& stream, const std::string& before, const std::string& after = "") {
  std::string path = (fs::temp_directory_path() / "nimbra-codec-XXXXXX").string();
  const int fd = mkstemp(path.data());
  if (fd < 0 || write(fd, stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) return {};
  close(fd);
  std::string out;
  if (FILE* pipe = popen((before + " " + path + " " + after).c_str(), "r")) {
    char buffer[1 << 16];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  fs::remove(path);
  return out;
}

struct Encoded {
  std::vector<Bytes> sources;
  std::vector<Chunks> per_picture;
  Bytes stream;
};

Encoded encode(EncoderSettings settings, int frames, const std::set<int>& forced = {}) {
  Encoded e;
  auto encoder = platform::create_h264_encoder(settings);
  EXPECT_TRUE(encoder) << encoder.error();
  if (!encoder) return e;
  EXPECT_TRUE((*encoder)->force_key_supported());
  for (int t = 0; t < frames; ++t) {
    e.sources.push_back(test::synthetic_nv12(settings.width, settings.height, t));
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

  const std::string ffmpeg = run_on(e.stream, "ffmpeg -v error -f h264 -i", "-f rawvideo -pix_fmt nv12 -");
  const Bytes decoded(ffmpeg.begin(), ffmpeg.end());
  const std::size_t picture = std::size_t{w} * h * 3 / 2;
  ASSERT_EQ(decoded.size(), picture * frames);
  double worst_luma = 99;
  for (int t = 0; t < frames; ++t) {
    ByteView luma(decoded.data() + t * picture, std::size_t{w} * h);
    worst_luma = std::min(worst_luma, test::psnr(ByteView(e.sources[t]).first(std::size_t{w} * h), luma));
    // Our decoder must agree with ffmpeg's exactly once converted the same way.
    Bytes theirs;
    ASSERT_TRUE(nv12_to_rgba(ByteView(decoded.data() + t * picture, picture), w, h, w, theirs));
    ASSERT_EQ(theirs, pictures[t]) << "picture " << t;
  }
  std::printf("worst luma PSNR through ffmpeg: %.2f dB\n", worst_luma);
  EXPECT_GE(worst_luma, 38.0);

  const std::string probe =
      run_on(e.stream, "ffprobe -v error -select_streams v:0 -show_entries "
                       "stream=profile,level,field_order,color_range,color_space,color_transfer,color_primaries,"
                       "chroma_location -of default=nw=1");
  for (const char* entry : {"profile=High\n", "level=42\n", "field_order=progressive\n", "color_range=tv\n",
                            "color_space=smpte170m\n", "color_transfer=smpte170m\n", "color_primaries=smpte170m\n",
                            "chroma_location=center\n"}) {
    EXPECT_NE(probe.find(entry), std::string::npos) << entry << probe;
  }
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

}  // namespace
}  // namespace nimbra
