// The Linux encoder and decoder against each other and against the ffmpeg
// command-line tools as an independent peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "pixels/nv12_to_rgba.h"
#include "platform/codecs.h"
#include "synthetic_video.h"

namespace nimbra {
namespace {

// The types of the Annex-B stream's NAL units, as a set.
std::set<int> nal_types(ByteView data) {
  std::set<int> types;
  for (std::size_t i = 0; i + 3 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) types.insert(data[i + 3] & 31), i += 2;
  }
  return types;
}

// What an ffmpeg tool prints of `stream`, written to a file for it.
std::string run_on(const Bytes& stream, const std::string& before, const std::string& after = "") {
  std::string path = (std::filesystem::temp_directory_path() / "nimbra-codec-XXXXXX").string();
  const int fd = mkstemp(path.data());
  if (fd < 0 || write(fd, stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) return {};
  close(fd);
  std::string out;
  if (FILE* pipe = popen((before + " " + path + " " + after).c_str(), "r")) {
    char buffer[1 << 16];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  std::filesystem::remove(path);
  return out;
}

// Each picture's one chunk; the test fails where the encoder did not give exactly one.
std::vector<EncodedChunk> encode(EncoderSettings settings, int frames, const std::set<int>& forced = {}) {
  std::vector<EncodedChunk> chunks;
  auto encoder = platform::create_h264_encoder(settings);
  EXPECT_TRUE(encoder && (*encoder)->force_key_supported()) << (encoder ? "" : encoder.error());
  for (int t = 0; encoder && t < frames; ++t) {
    auto got = (*encoder)->encode_nv12(test::synthetic_nv12(settings.width, settings.height, t), forced.contains(t));
    // No B-frames and no lookahead: one chunk per picture, at once.
    EXPECT_TRUE(got && got->size() == 1) << t;
    if (!got || got->size() != 1) break;
    chunks.push_back(std::move(got->front()));
  }
  return chunks;
}

TEST(H264Codec, RoundTripKeepsQualityThroughOurDecoderAndFfmpeg) {
  constexpr std::uint32_t w = 1280, h = 720;
  constexpr int frames = 60;
  const std::vector<EncodedChunk> chunks = encode({w, h, 30, 2'500'000}, frames);
  ASSERT_EQ(chunks.size(), std::size_t{frames});
  EXPECT_TRUE(chunks[0].key);
  EXPECT_TRUE(std::ranges::includes(nal_types(chunks[0].data), std::set<int>{5, 7, 8}));
  Bytes stream;
  for (const EncodedChunk& c : chunks) stream.insert(stream.end(), c.data.begin(), c.data.end());
  EXPECT_NEAR(stream.size() * 8.0 * 30 / frames / 1000, 2500, 2500 * 0.3) << "kbps";

  auto decoder = platform::open_h264_decoder({{w, h}});
  ASSERT_TRUE(decoder) << decoder.error();
  const std::string ffmpeg = run_on(stream, "ffmpeg -v error -f h264 -i", "-f rawvideo -pix_fmt nv12 -");
  const std::size_t picture = std::size_t{w} * h * 3 / 2;
  ASSERT_EQ(ffmpeg.size(), picture * frames);
  double worst_luma = 99;
  for (int t = 0; t < frames; ++t) {
    auto ours = (*decoder)->decode(chunks[t].data);
    // Low delay: each picture comes out for its own access unit.
    ASSERT_TRUE(ours && ours->size() == 1) << t;
    const ByteView theirs(reinterpret_cast<const std::uint8_t*>(ffmpeg.data()) + t * picture, picture);
    const Bytes source = test::synthetic_nv12(w, h, t);
    worst_luma = std::min(worst_luma, test::psnr(ByteView(source).first(w * h), theirs.first(w * h)));
    // Our decoder must agree with ffmpeg's exactly once converted the same way.
    Bytes rgba;
    ASSERT_TRUE(nv12_to_rgba(theirs, w, h, w, rgba));
    ASSERT_EQ(rgba, ours->front()) << "picture " << t;
  }
  EXPECT_EQ((*decoder)->display_size(), (Size{w, h}));
  EXPECT_GE(worst_luma, 38.0);

  const std::string probe = run_on(stream, "ffprobe -v error -select_streams v:0 -show_entries "
                                           "stream=profile,level,field_order,color_range,color_space,color_transfer,"
                                           "color_primaries,chroma_location -of default=nw=1");
  EXPECT_EQ(probe, "profile=High\nlevel=42\ncolor_range=tv\ncolor_space=smpte170m\ncolor_transfer=smpte170m\n"
                   "color_primaries=smpte170m\nchroma_location=center\nfield_order=progressive\n");
}

TEST(H264Codec, KeyFramesComeAtTheIntervalAndOnRequest) {
  struct Case {
    std::uint32_t fps;
    int frames;
    std::set<int> forced;
    std::vector<int> keys;
  };
  const Case cases[] = {
      {30, 130, {}, {0, 60, 120}}, {10, 70, {}, {0, 30, 60}}, {0, 35, {}, {0, 30}}, {30, 80, {7, 8, 50}, {0, 7, 8, 50}}};
  for (const Case& c : cases) {
    const std::vector<EncodedChunk> chunks = encode({320, 180, c.fps, 500'000}, c.frames, c.forced);
    std::vector<int> keys;
    for (int t = 0; t < static_cast<int>(chunks.size()); ++t) {
      // The key flag marks exactly the IDR pictures, and they carry SPS/PPS.
      const std::set<int> types = nal_types(chunks[t].data);
      EXPECT_EQ(chunks[t].key, types.contains(5) && types.contains(7) && types.contains(8)) << t;
      EXPECT_EQ(chunks[t].key, types.contains(5) || types.contains(7)) << t;
      if (chunks[t].key) keys.push_back(t);
    }
    EXPECT_EQ(keys, c.keys) << "fps " << c.fps;
  }
}

TEST(H264Codec, EncoderRefusesWrongPictureSize) {
  auto encoder = platform::create_h264_encoder({64, 48, 30, 300'000});
  ASSERT_TRUE(encoder);
  EXPECT_EQ((*encoder)->encode_nv12(Bytes(64 * 48 * 3 / 2 - 1), false).error(), "NV12: 4607 байт вместо 4608");
}

}  // namespace
}  // namespace nimbra
