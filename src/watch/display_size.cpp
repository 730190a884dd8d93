#include "watch/display_size.h"

#include <string>

namespace nimbra {
namespace {

std::uint64_t align16(std::uint32_t v) { return (std::uint64_t{v} + 15) / 16 * 16; }

bool decent(Size s) { return s.width >= 2 && s.width <= 1920 && s.height >= 2 && s.height <= 1080; }

Result<Size> checked(Size s) {
  if (!decent(s)) return fail("indecent output size " + std::to_string(s.width) + "x" + std::to_string(s.height));
  return s;
}

}  // namespace

Result<Size> choose_display_size(const std::vector<Size>& requested, Size coded) {
  for (const Size& s : requested) {
    if (align16(s.width) == coded.width && align16(s.height) == coded.height) return checked(s);
  }
  return checked(coded);
}

}  // namespace nimbra
