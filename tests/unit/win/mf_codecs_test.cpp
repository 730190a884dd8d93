// Media Foundation codecs as Wine provides them: a decoder, no encoder.
#include <windows.h>

#include <gtest/gtest.h>

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

TEST(MfCodecs, DecoderOpensAndHoldsTheFirstRequestedSize) {
  auto decoder = platform::open_h264_decoder({{1280, 720}, {640, 360}});
  ASSERT_TRUE(decoder) << decoder.error();
  EXPECT_EQ((*decoder)->display_size(), (Size{1280, 720}));
  // A lone delimiter NAL holds no picture.
  const std::uint8_t delimiter[] = {0, 0, 0, 1, 9, 0xf0};
  auto pictures = (*decoder)->decode(delimiter);
  ASSERT_TRUE(pictures) << pictures.error();
  EXPECT_TRUE(pictures->empty());
}

}  // namespace
}  // namespace nimbra
