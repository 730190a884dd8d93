// Media Foundation codecs as Wine provides them: no encoder (the decoder is
// exercised through the program by the watch-mode process tests).
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

}  // namespace
}  // namespace nimbra
