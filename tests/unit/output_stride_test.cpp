#include "watch/output_stride.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(OutputStride, UsesOnlyPlausibleReportedStrides) {
  EXPECT_EQ(output_stride(8192, 1920), 8192u);
  EXPECT_EQ(output_stride(8193, 1920), 1920u);
  EXPECT_EQ(output_stride(static_cast<std::uint32_t>(-1920), 1920), 1920u);  // bottom-up
  EXPECT_EQ(output_stride(1278, 1280), 1280u);
  EXPECT_EQ(output_stride(std::nullopt, 640), 640u);
}

}  // namespace
}  // namespace nimbra
