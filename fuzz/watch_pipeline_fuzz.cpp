// The whole watch session with this platform's decoder: packets in, picture
// records out. Byte 0 picks the requested sizes, bytes 1 to 4 cut the reads,
// the rest is standard input. Every record must be whole and of a size the
// host can show.
#include <algorithm>
#include <array>

#include "fuzz_support.h"
#include "platform/codecs.h"
#include "watch/watch_session.h"

using namespace nimbra;

namespace {

// Parses records as they are written, keeping no pixels.
class RecordCheck final : public OutputStream {
 public:
  Status write(ByteView bytes) override {
    while (!bytes.empty()) {
      if (pixels_left_ == 0) {
        const std::size_t take = std::min(bytes.size(), header_.size() - header_size_);
        std::copy_n(bytes.begin(), take, header_.begin() + static_cast<std::ptrdiff_t>(header_size_));
        header_size_ += take;
        bytes = bytes.subspan(take);
        if (header_size_ == header_.size()) start_pixels();
        continue;
      }
      const std::size_t take = std::min<std::size_t>(bytes.size(), pixels_left_);
      pixels_left_ -= take;
      bytes = bytes.subspan(take);
    }
    return {};
  }
  Status flush() override {
    FUZZ_CHECK(header_size_ == 0 && pixels_left_ == 0);
    return {};
  }

 private:
  void start_pixels() {
    const ByteView header(header_);
    const std::uint32_t count = big_endian_value(header.first(4));
    const std::uint32_t width = big_endian_value(header.subspan(4, 4));
    const std::uint32_t height = big_endian_value(header.subspan(8, 4));
    FUZZ_CHECK(width >= 2 && width <= 1920 && height >= 2 && height <= 1080 && width % 2 == 0 && height % 2 == 0);
    FUZZ_CHECK(count == width * height * 4);
    pixels_left_ = count;
    header_size_ = 0;
  }

  std::array<std::uint8_t, 12> header_{};
  std::size_t header_size_ = 0;
  std::size_t pixels_left_ = 0;
};

constexpr std::array<WatchRequest, 5> kRequests{{
    {{64, 48}, std::nullopt},
    {{128, 96}, Size{64, 48}},
    {{1280, 720}, Size{640, 360}},
    {{1920, 1080}, std::nullopt},
    {{176, 144}, Size{1920, 1080}},
}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const ByteView all(data, size);
  fuzz::PieceInput input(all.subspan(5), all.subspan(1, 4));
  RecordCheck output;
  (void)run_watch_session(kRequests[data[0] % kRequests.size()], input, output, platform::open_h264_decoder);
  FUZZ_CHECK(output.flush());
  return 0;
}
