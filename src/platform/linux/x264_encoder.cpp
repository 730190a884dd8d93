// H.264 encoding on Linux with libx264, tuned like the Windows encoder
// transform: High profile at level 4.2, progressive, average bitrate with a
// VBV cap, a bounded key-frame interval, no B-frames and no lookahead, key
// frames on request, and SPS/PPS in front of every IDR picture.
#include <cstdint>  // x264.h needs the fixed-width types first

#include <x264.h>

#include <algorithm>
#include <string>

#include "codec/encoder_timing.h"
#include "platform/codecs.h"

namespace nimbra::platform {
namespace {

// Measured here: one thread at "superfast" encodes 1280x720 in a fraction of
// a 30 fps frame period, and leaves the other core to capture and conversion.
constexpr const char* kPreset = "superfast";
constexpr int kThreads = 1;

class X264Encoder final : public H264Encoder {
 public:
  X264Encoder(std::uint32_t width, std::uint32_t height, x264_t* encoder)
      : H264Encoder(width, height), encoder_(encoder) {}
  ~X264Encoder() override { x264_encoder_close(encoder_); }

  bool force_key_supported() const override { return true; }

  Result<Chunks> encode_staged(bool force_key) override {
    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    MutableBytes nv12 = staging();
    in.img.plane[0] = nv12.data();
    in.img.i_stride[0] = static_cast<int>(width());
    in.img.plane[1] = nv12.data() + std::size_t{width()} * height();
    in.img.i_stride[1] = static_cast<int>(width());
    in.i_pts = next_pts_++;
    in.i_type = force_key ? X264_TYPE_IDR : X264_TYPE_AUTO;

    x264_nal_t* nals = nullptr;
    int nal_count = 0;
    x264_picture_t out;
    const int size = x264_encoder_encode(encoder_, &nals, &nal_count, &in, &out);
    if (size < 0) return fail("x264_encoder_encode: " + std::to_string(size));
    Chunks chunks;
    if (size == 0 || nal_count == 0) return chunks;
    // x264 lays the NAL units of one picture out back to back.
    EncodedChunk chunk;
    chunk.key = out.i_type == X264_TYPE_IDR;
    chunk.data.assign(nals[0].p_payload, nals[0].p_payload + size);
    chunks.push_back(std::move(chunk));
    return chunks;
  }

 private:
  x264_t* encoder_;
  std::int64_t next_pts_ = 0;
};

}  // namespace

Result<std::unique_ptr<H264Encoder>> create_h264_encoder(const EncoderSettings& settings) {
  if (settings.width == 0 || settings.height == 0 || settings.width % 2 != 0 || settings.height % 2 != 0) {
    return fail("x264: неподдерживаемый размер " + std::to_string(settings.width) + "x" +
                std::to_string(settings.height));
  }
  const std::uint32_t fps = std::max<std::uint32_t>(settings.fps, 1);
  x264_param_t p;
  if (x264_param_default_preset(&p, kPreset, "zerolatency") < 0) return fail("x264_param_default_preset");
  p.i_log_level = X264_LOG_NONE;  // stderr carries only our own lines
  p.i_threads = kThreads;
  p.b_sliced_threads = 0;
  p.i_csp = X264_CSP_NV12;
  p.i_width = static_cast<int>(settings.width);
  p.i_height = static_cast<int>(settings.height);
  p.i_fps_num = fps;
  p.i_fps_den = 1;
  p.i_timebase_num = 1;
  p.i_timebase_den = fps;
  p.b_vfr_input = 0;
  p.b_interlaced = 0;
  p.vui.i_sar_width = 1;
  p.vui.i_sar_height = 1;
  // The pixels are BT.601 limited range with each chroma sample the mean of a
  // 2x2 block. Said in the stream, so that a decoder does not guess BT.709
  // for HD sizes and convert the colours wrongly.
  p.vui.i_colorprim = 6;  // SMPTE 170M, also for transfer and matrix
  p.vui.i_transfer = 6;
  p.vui.i_colmatrix = 6;
  p.vui.b_fullrange = 0;
  p.vui.i_chroma_loc = 1;  // centre
  p.i_level_idc = 42;
  p.i_keyint_max = static_cast<int>(key_frame_interval(settings.fps));
  p.i_keyint_min = 1;
  p.i_scenecut_threshold = 0;  // key frames only at the interval or on request
  p.b_open_gop = 0;
  p.b_intra_refresh = 0;
  p.i_bframe = 0;
  p.rc.i_lookahead = 0;
  p.i_sync_lookahead = 0;
  p.rc.b_mb_tree = 0;
  const int kbps = static_cast<int>(std::max<std::uint32_t>(settings.bitrate / 1000, 1));
  p.rc.i_rc_method = X264_RC_ABR;
  p.rc.i_bitrate = kbps;
  p.rc.i_vbv_max_bitrate = kbps;
  p.rc.i_vbv_buffer_size = kbps;  // one second
  p.b_repeat_headers = 1;
  p.b_annexb = 1;
  p.b_aud = 0;
  // The 8x8 transform is what makes the stream High profile ("avc1.64...").
  p.analyse.b_transform_8x8 = 1;
  // The hexagon search finds scrolled text that the preset's diamond misses:
  // the same quality for less CPU on desktop content, no worse elsewhere
  // (bench/session_bench.py's quality table).
  p.analyse.i_me_method = X264_ME_HEX;
  if (x264_param_apply_profile(&p, "high") < 0) return fail("x264_param_apply_profile");
  x264_t* encoder = x264_encoder_open(&p);
  if (encoder == nullptr) return fail("x264_encoder_open");
  return std::unique_ptr<H264Encoder>(new X264Encoder(settings.width, settings.height, encoder));
}

}  // namespace nimbra::platform
