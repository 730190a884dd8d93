#include "watch/display_size.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(DisplaySize, PicksRequestedSizeMatchingTheCodedSize) {
  const std::tuple<std::vector<Size>, Size, Result<Size>> cases[] = {  // requested, coded, displayed
      {{{1920, 1080}}, {1920, 1088}, Size{1920, 1080}},
      {{{1280, 720}, {640, 360}}, {640, 368}, Size{640, 360}},
      // No match: the coded size itself, padding rows included.
      {{{1280, 720}}, {640, 368}, Size{640, 368}},
      {{{1280, 720}}, {1280, 1024}, Size{1280, 1024}},
      {{{1280, 720}}, {0, 0}, fail("indecent output size 0x0")},
      {{{2, 2}}, {16, 16}, Size{2, 2}},
      // The first match wins, and is itself checked.
      {{{1276, 720}, {1280, 720}}, {1280, 720}, Size{1276, 720}},
      {{{1921, 1080}}, {1936, 1088}, fail("indecent output size 1921x1080")},
      {{{1920, 1081}}, {1920, 1088}, fail("indecent output size 1920x1081")},
  };
  for (const auto& [requested, coded, expected] : cases) {
    EXPECT_EQ(choose_display_size(requested, coded), expected) << coded.width << "x" << coded.height;
  }
}

}  // namespace
}  // namespace nimbra
