#include "codec/sps_bt601.h"

#include <cstdint>
#include <optional>

#include "codec/rbsp.h"

namespace nimbra {
namespace {

constexpr std::uint8_t kSpsType = 7;
constexpr std::uint32_t kBt601 = 6;  // primaries, transfer and matrix: SMPTE 170M
constexpr std::uint32_t kUnspecifiedVideoFormat = 5;
constexpr std::uint32_t kCentredChroma = 1;

// Reads past the end yield nullopt, so a truncated or hostile parameter set
// is left alone instead of being rewritten from garbage.
class BitReader {
 public:
  explicit BitReader(const Bytes& data) : data_(data) {}
  std::size_t position() const { return pos_; }

  std::optional<std::uint32_t> bits(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      if (pos_ >= data_.size() * 8) return std::nullopt;
      value = (value << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
      ++pos_;
    }
    return value;
  }
  std::optional<std::uint32_t> ue() {
    int zeros = 0;
    for (;;) {
      auto bit = bits(1);
      if (!bit) return std::nullopt;
      if (*bit) break;
      if (++zeros > 31) return std::nullopt;
    }
    auto rest = bits(zeros);
    if (!rest) return std::nullopt;
    return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + *rest);
  }
  std::optional<std::int32_t> se() {
    auto v = ue();
    if (!v) return std::nullopt;
    const auto magnitude = static_cast<std::int32_t>((*v + 1) / 2);
    return (*v & 1) ? magnitude : -magnitude;
  }

 private:
  const Bytes& data_;
  std::size_t pos_ = 0;
};

// Position just past the last payload bit: the rbsp_stop_one_bit itself.
std::optional<std::size_t> stop_bit(const Bytes& rbsp) {
  for (std::size_t i = rbsp.size(); i-- > 0;) {
    if (rbsp[i] == 0) continue;
    int low = 0;
    while (((rbsp[i] >> low) & 1) == 0) ++low;
    return i * 8 + static_cast<std::size_t>(7 - low);
  }
  return std::nullopt;
}

bool skip_scaling_list(BitReader& r, int size) {
  std::int32_t last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      auto delta = r.se();
      if (!delta || *delta < -128 || *delta > 127) return false;
      next = (last + *delta + 256) % 256;
    }
    if (next != 0) last = next;
  }
  return true;
}

bool is_high_profile(std::uint32_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
      return true;
    default:
      return false;
  }
}

// Reads up to vui_parameters_present_flag; nullopt when the set is not 4:2:0
// or does not parse.
std::optional<bool> read_up_to_vui(BitReader& r) {
  auto profile = r.bits(8);
  if (!profile || !r.bits(16) || !r.ue()) return std::nullopt;  // constraints, level, sps id
  std::uint32_t chroma_format = 1;
  if (is_high_profile(*profile)) {
    auto format = r.ue();
    if (!format) return std::nullopt;
    chroma_format = *format;
    if (chroma_format == 3 && !r.bits(1)) return std::nullopt;
    if (!r.ue() || !r.ue() || !r.bits(1)) return std::nullopt;  // bit depths, transform bypass
    auto matrices = r.bits(1);
    if (!matrices) return std::nullopt;
    if (*matrices) {
      const int lists = chroma_format != 3 ? 8 : 12;
      for (int i = 0; i < lists; ++i) {
        auto present = r.bits(1);
        if (!present) return std::nullopt;
        if (*present && !skip_scaling_list(r, i < 6 ? 16 : 64)) return std::nullopt;
      }
    }
  }
  if (chroma_format != 1) return std::nullopt;
  auto log2_frame_num = r.ue();
  auto poc_type = r.ue();
  if (!log2_frame_num || !poc_type) return std::nullopt;
  if (*poc_type == 0) {
    if (!r.ue()) return std::nullopt;
  } else if (*poc_type == 1) {
    if (!r.bits(1) || !r.se() || !r.se()) return std::nullopt;
    auto cycle = r.ue();
    if (!cycle || *cycle > 255) return std::nullopt;
    for (std::uint32_t i = 0; i < *cycle; ++i) {
      if (!r.se()) return std::nullopt;
    }
  } else if (*poc_type != 2) {
    return std::nullopt;
  }
  if (!r.ue() || !r.bits(1) || !r.ue() || !r.ue()) return std::nullopt;  // refs, gaps, size
  auto frame_mbs_only = r.bits(1);
  if (!frame_mbs_only || (!*frame_mbs_only && !r.bits(1)) || !r.bits(1)) return std::nullopt;
  auto cropping = r.bits(1);
  if (!cropping) return std::nullopt;
  if (*cropping && (!r.ue() || !r.ue() || !r.ue() || !r.ue())) return std::nullopt;
  auto vui = r.bits(1);
  if (!vui) return std::nullopt;
  return *vui != 0;
}

void write_bt601_signal(RbspWriter& w, std::uint32_t video_format) {
  w.bits(1, 1);             // video_signal_type_present_flag
  w.bits(video_format, 3);
  w.bits(0, 1);             // limited range
  w.bits(1, 1);             // colour_description_present_flag
  w.bits(kBt601, 8);
  w.bits(kBt601, 8);
  w.bits(kBt601, 8);
  w.bits(1, 1);             // chroma_loc_info_present_flag
  w.ue(kCentredChroma);
  w.ue(kCentredChroma);
}

// The RBSP of the parameter set (header byte excluded) relabelled, or nullopt.
std::optional<Bytes> relabel(const Bytes& rbsp) {
  auto end = stop_bit(rbsp);
  if (!end) return std::nullopt;
  BitReader r(rbsp);
  auto has_vui = read_up_to_vui(r);
  if (!has_vui) return std::nullopt;
  RbspWriter w;
  if (!*has_vui) {
    const std::size_t flag = r.position() - 1;
    if (flag > *end) return std::nullopt;
    w.copy(rbsp, 0, flag);
    w.bits(1, 1);  // vui_parameters_present_flag
    w.bits(0, 2);  // no aspect ratio, no overscan information
    write_bt601_signal(w, kUnspecifiedVideoFormat);
    w.bits(0, 5);  // no timing, no HRD, no picture structure, no bitstream restriction
    return w.finish();
  }
  auto aspect = r.bits(1);
  if (!aspect) return std::nullopt;
  if (*aspect) {
    auto idc = r.bits(8);
    if (!idc || (*idc == 255 && !r.bits(32))) return std::nullopt;
  }
  auto overscan = r.bits(1);
  if (!overscan || (*overscan && !r.bits(1))) return std::nullopt;
  const std::size_t kept = r.position();
  std::uint32_t video_format = kUnspecifiedVideoFormat;
  auto signal = r.bits(1);
  if (!signal) return std::nullopt;
  if (*signal) {
    auto format = r.bits(3);
    auto colour = format ? r.bits(2) : std::nullopt;  // range, colour_description_present_flag
    if (!colour || ((*colour & 1) && !r.bits(24))) return std::nullopt;
    video_format = *format;
  }
  auto chroma_loc = r.bits(1);
  if (!chroma_loc || (*chroma_loc && (!r.ue() || !r.ue()))) return std::nullopt;
  if (r.position() > *end) return std::nullopt;
  w.copy(rbsp, 0, kept);
  write_bt601_signal(w, video_format);
  w.copy(rbsp, r.position(), *end);
  return w.finish();
}

// Start of every NAL unit (just past its start code).
std::vector<std::size_t> nal_starts(ByteView unit) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 3 <= unit.size(); ++i) {
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  return starts;
}

}  // namespace

Bytes label_sps_bt601(ByteView unit) {
  const auto starts = nal_starts(unit);
  Bytes out;
  out.reserve(unit.size() + 16);
  std::size_t copied = 0;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t begin = starts[k];
    std::size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : unit.size();
    while (end > begin && unit[end - 1] == 0) --end;  // zero bytes before the next start code stay as they are
    if (end - begin < 2 || (unit[begin] & 0x1F) != kSpsType) continue;
    auto relabelled = relabel(unescape(unit.subspan(begin + 1, end - begin - 1)));
    if (!relabelled) continue;
    out.insert(out.end(), unit.begin() + static_cast<std::ptrdiff_t>(copied),
               unit.begin() + static_cast<std::ptrdiff_t>(begin + 1));
    escape_into(*relabelled, out);
    copied = end;
  }
  out.insert(out.end(), unit.begin() + static_cast<std::ptrdiff_t>(copied), unit.end());
  return out;
}

}  // namespace nimbra
