#include "capture/unchanged_filter.h"

#include <gtest/gtest.h>

#include <string>

namespace nimbra {
namespace {

// Runs a sequence of frames through the filter: 'a'/'b' frames by digest,
// 'K' an 'a' frame the host asked for, '!' an encoder replaced before the
// next frame. Returns the encoded frames' positions.
std::vector<int> encoded_positions(const std::string& frames) {
  UnchangedFilter filter;
  std::vector<int> encoded;
  for (int i = 0; i < static_cast<int>(frames.size()); ++i) {
    const char f = frames[static_cast<std::size_t>(i)];
    if (f == '!') {
      filter.forget();
      continue;
    }
    const FrameDigest digest = f == 'b' ? 2 : 1;
    if (filter.skip(digest, f == 'K')) continue;
    filter.encoded(digest);
    encoded.push_back(i);
  }
  return encoded;
}

TEST(UnchangedFilter, EncodesChangesWantedFramesAndEverySixtyFirstStillOne) {
  const std::string still(130, 'a');
  EXPECT_EQ(encoded_positions(still), (std::vector<int>{0, 61, 122}));
  EXPECT_EQ(encoded_positions("aabba"), (std::vector<int>{0, 2, 4}));
  // A wanted frame is encoded and starts the count again.
  EXPECT_EQ(encoded_positions(std::string(30, 'a') + "K" + std::string(61, 'a')), (std::vector<int>{0, 30, 91}));
  // A new encoder has seen nothing: the next frame goes even when unchanged.
  EXPECT_EQ(encoded_positions("aa!a"), (std::vector<int>{0, 3}));
}

}  // namespace
}  // namespace nimbra
