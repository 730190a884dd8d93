#include <gtest/gtest.h>

#include "pixels/simd_level.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

TEST(PixelsSimdLevel, ForcingLowersAndRestoresButNeverRaises) {
  const SimdLevel detected = detected_simd_level();
  std::printf("pixel kernels on this machine: %s\n", std::string(simd_level_name(detected)).c_str());
  EXPECT_GE(detected, SimdLevel::sse2);  // part of x86-64
  {
    testing::ForcedSimdLevel forced(SimdLevel::scalar);
    EXPECT_EQ(simd_level(), SimdLevel::scalar);
  }
  EXPECT_EQ(simd_level(), detected);
  force_simd_level(SimdLevel::avx2);
  EXPECT_LE(simd_level(), detected);
}

}  // namespace
}  // namespace nimbra
