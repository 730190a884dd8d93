#pragma once
// Which size the pictures are shown at after the decoder announces a coded
// size: a requested size whose 16-aligned form is that coded size (so 1080
// rows are cropped out of 1088), else the coded size itself.
#include <vector>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

// Fails with "indecent output size {w}x{h}" when the chosen size lies
// outside 2..=1920 × 2..=1080.
Result<Size> choose_display_size(const std::vector<Size>& requested, Size coded);

}  // namespace nimbra
