// Media Foundation codecs as Wine provides them: no encoder (the decoder is
// exercised through the program by the watch-mode process tests, the encoder
// code by test_mf_encoder with a test encoder of its own). On a real Windows
// the encoder's key chunks are checked for their colour label.
#include <windows.h>

#include <gtest/gtest.h>

#include "codec/sps_bt601.h"
#include "platform/codecs.h"

namespace nimbra {
namespace {

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(MfCodecs, WineHasNoH264Encoder) {
  if (!under_wine()) GTEST_SKIP() << "a real Windows has an H.264 encoder";
  auto encoder = platform::create_h264_encoder({1280, 720, 30, 2'500'000});
  ASSERT_FALSE(encoder);
  EXPECT_EQ(encoder.error(), "H.264 энкодер (MFT) не найден в системе");
}

TEST(MfCodecs, KeyChunksSayTheirPixelsAreBt601) {
  if (under_wine()) GTEST_SKIP() << "Wine has no H.264 encoder";
  auto encoder = platform::create_h264_encoder({320, 180, 30, 500'000});
  ASSERT_TRUE(encoder) << encoder.error();
  const Bytes grey(320 * 180 * 3 / 2, 128);
  bool keyed = false;
  for (int picture = 0; picture < 5; ++picture) {
    auto chunks = (*encoder)->encode_nv12(grey, false);
    ASSERT_TRUE(chunks) << chunks.error();
    for (const EncodedChunk& chunk : *chunks) {
      if (!chunk.key) continue;
      EXPECT_EQ(label_sps_bt601(chunk.data), chunk.data) << "already labelled: relabelling changes nothing";
      keyed = true;
    }
  }
  EXPECT_TRUE(keyed) << "a fresh encoder starts with a key chunk";
}

}  // namespace
}  // namespace nimbra
