// The Linux encoder, with the ffmpeg command-line tools as an independent
// decoder (watch mode's process test holds our decoder to ffmpeg's).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/codecs.h"

namespace nimbra {
namespace {

// Pictures of ffmpeg's moving test source: motion, texture, text and flat areas.
std::vector<Bytes> test_video(std::uint32_t w, std::uint32_t h, int frames) {
  const std::string command = "ffmpeg -v error -f lavfi -i testsrc2=size=" + std::to_string(w) + "x" + std::to_string(h) +
                              ":rate=30 -frames:v " + std::to_string(frames) + " -pix_fmt nv12 -f rawvideo -";
  std::vector<Bytes> pictures;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    for (Bytes p(std::size_t{w} * h * 3 / 2); std::fread(p.data(), 1, p.size(), pipe) == p.size();) pictures.push_back(p);
    pclose(pipe);
  }
  return pictures;
}

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
  const auto path = std::filesystem::temp_directory_path() / ("nimbra-codec-" + std::to_string(getpid()) + ".h264");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), std::ssize(stream));
  std::string out;
  if (FILE* pipe = popen((before + " " + path.string() + " " + after).c_str(), "r")) {
    char buffer[1 << 16];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  std::filesystem::remove(path);
  return out;
}

// Each picture's one chunk (no B-frames, no lookahead); the test fails where the encoder did not give exactly one.
std::vector<EncodedChunk> encode(EncoderSettings settings, const std::vector<Bytes>& pictures, const std::set<int>& forced = {}) {
  std::vector<EncodedChunk> chunks;
  auto encoder = platform::create_h264_encoder(settings);
  EXPECT_TRUE(encoder && (*encoder)->force_key_supported()) << (encoder ? "" : encoder.error());
  for (int t = 0; encoder && t < static_cast<int>(pictures.size()); ++t) {
    auto got = (*encoder)->encode_nv12(pictures[t], forced.contains(t));
    EXPECT_TRUE(got && got->size() == 1) << t;
    if (!got || got->size() != 1) break;
    chunks.push_back(std::move(got->front()));
  }
  return chunks;
}

TEST(H264Codec, KeepsTheBitrateAndQualityAndLabelsTheStream) {
  constexpr std::uint32_t w = 1280, h = 720;
  constexpr int frames = 60;
  const std::vector<Bytes> pictures = test_video(w, h, frames);
  const std::vector<EncodedChunk> chunks = encode({w, h, 30, 2'500'000}, pictures);
  ASSERT_EQ(chunks.size(), std::size_t{frames});
  Bytes stream;
  for (const EncodedChunk& c : chunks) stream.insert(stream.end(), c.data.begin(), c.data.end());
  EXPECT_NEAR(stream.size() * 8.0 * 30 / frames / 1000, 2500, 2500 * 0.3) << "kbps";

  const std::string ffmpeg = run_on(stream, "ffmpeg -v error -f h264 -i", "-f rawvideo -pix_fmt nv12 -");
  const std::size_t picture = std::size_t{w} * h * 3 / 2;
  ASSERT_EQ(ffmpeg.size(), picture * frames);
  double worst_squared_error = 0;
  for (int t = 0; t < frames; ++t) {
    const ByteView theirs(reinterpret_cast<const std::uint8_t*>(ffmpeg.data()) + t * picture, picture);
    double sum = 0;
    for (std::size_t i = 0; i < w * h; ++i) sum += (pictures[t][i] - theirs[i]) * (pictures[t][i] - theirs[i]);
    worst_squared_error = std::max(worst_squared_error, sum / (w * h));
  }
  EXPECT_LE(worst_squared_error, 10.3) << "luma PSNR below 38 dB";

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
      // The rate's interval is the timing rule's (its own test); here x264 keeps it, also at rate 0.
      {30, 130, {}, {0, 60, 120}}, {0, 35, {}, {0, 30}}, {30, 80, {7, 8, 50}, {0, 7, 8, 50}}};
  for (const Case& c : cases) {
    const std::vector<EncodedChunk> chunks = encode({320, 180, c.fps, 500'000}, test_video(320, 180, c.frames), c.forced);
    std::vector<int> keys;
    for (int t = 0; t < static_cast<int>(chunks.size()); ++t) {
      // The key flag marks exactly the IDR pictures, and they carry SPS/PPS; no other picture does.
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
