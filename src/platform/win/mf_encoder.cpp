// H.264 encoding on Windows with a synchronous Media Foundation encoder
// transform, tuned for live streaming: low latency, a bounded key-frame
// interval and key frames on request.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <algorithm>
#include <string>

#include "codec/encoder_timing.h"
#include "codec/sps_bt601.h"
#include "platform/codecs.h"
#include "platform/process.h"
#include "platform/win/hresult.h"
#include "platform/win/mf_codec_api.h"
#include "platform/win/mf_transform.h"

namespace nimbra::platform {
namespace {

using Microsoft::WRL::ComPtr;

constexpr DWORD kMinOutputBuffer = 65536;
constexpr const char* kNoForceKey = "[capture] force-keyframe API нет — запрос зрителя ждёт ближайший GOP-ключ";

class MfEncoder final : public H264Encoder {
 public:
  MfEncoder(std::uint32_t width, std::uint32_t height, std::uint32_t fps, ComPtr<IMFTransform> transform,
            ComPtr<ICodecAPI> codec_api, ForceKeyForm force_key)
      : H264Encoder(width, height),
        transform_(std::move(transform)),
        codec_api_(std::move(codec_api)),
        force_key_(force_key),
        sample_duration_(sample_duration_100ns(fps)) {}

  bool force_key_supported() const override { return force_key_ != ForceKeyForm::None; }

  Result<Chunks> encode_staged(bool force_key) override {
    auto sample = input_sample(staging(), sample_time_, sample_duration_);
    if (!sample) return fail(sample.error().named_text());
    sample_time_ += sample_duration_;

    const auto set = [&](VARIANT& value) { return codec_api_->SetValue(&kAvEncVideoForceKeyFrame, &value); };
    const bool forcing = force_key && force_key_ != ForceKeyForm::None && codec_api_;
    if (forcing) {
      force_key_ = request_key_frame(force_key_, set);
      // From now on the caller makes a new encoder whenever it needs a key frame.
      if (force_key_ == ForceKeyForm::None) write_stderr_line(kNoForceKey);
    }
    auto chunks = feed(sample->Get());
    if (forcing && force_key_ != ForceKeyForm::None) {
      VARIANT off = force_key_variant(force_key_, false);
      (void)set(off);
    }
    return chunks;
  }

 private:
  Result<Chunks> feed(IMFSample* sample) {
    if (HRESULT hr = transform_->ProcessInput(0, sample, 0); FAILED(hr)) return fail(step_error("ProcessInput", hr));
    MFT_OUTPUT_STREAM_INFO info{};
    if (HRESULT hr = transform_->GetOutputStreamInfo(0, &info); FAILED(hr)) return fail(hresult_text(hr));
    const DWORD buffer_size = std::max(kMinOutputBuffer, info.cbSize);
    const bool provides = provides_samples(info);

    Chunks chunks;
    for (;;) {
      ComPtr<IMFSample> own;
      if (!provides) {
        auto made = output_sample(buffer_size);
        if (!made) return fail(made.error());
        own = std::move(*made);
      }
      auto [hr, produced] = process_output(transform_.Get(), std::move(own));
      if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) break;
      if (FAILED(hr)) return fail(step_error("ProcessOutput", hr));
      if (!produced) break;
      ComPtr<IMFMediaBuffer> contiguous;
      if (HRESULT h = produced->ConvertToContiguousBuffer(&contiguous); FAILED(h)) {
        return fail(step_error("ConvertToContiguousBuffer", h));
      }
      BYTE* bytes = nullptr;
      DWORD length = 0;
      if (HRESULT h = contiguous->Lock(&bytes, nullptr, &length); FAILED(h)) return fail(step_error("out Lock", h));
      EncodedChunk chunk;
      chunk.data.assign(bytes, bytes + length);
      contiguous->Unlock();
      UINT32 clean_point = 0;
      chunk.key = SUCCEEDED(produced->GetUINT32(MFSampleExtension_CleanPoint, &clean_point)) && clean_point != 0;
      // Encoders may ignore the colour attributes of the media type; the
      // stream's own label is what a host's decoder believes.
      if (chunk.key) chunk.data = label_sps_bt601(chunk.data);
      if (!chunk.data.empty()) chunks.push_back(std::move(chunk));
    }
    return chunks;
  }

  ComPtr<IMFTransform> transform_;
  ComPtr<ICodecAPI> codec_api_;
  ForceKeyForm force_key_;
  LONGLONG sample_duration_;
  LONGLONG sample_time_ = 0;
};

// BT.601 limited range, for the encoder to write into the stream's VUI. Media
// Foundation has no BT.601 transfer of its own; BT.709's is the same curve.
// The chroma siting is left to the relabelling of the key chunks.
Status set_colour(IMFMediaType* type) {
  for (HRESULT hr : {type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT601),
                     type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235),
                     type->SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_SMPTE170M),
                     type->SetUINT32(MF_MT_TRANSFER_FUNCTION, MFVideoTransFunc_709)}) {
    if (FAILED(hr)) return fail(hresult_text(hr));
  }
  return {};
}

Status set_types(IMFTransform* transform, const EncoderSettings& s) {
  ComPtr<IMFMediaType> out;
  if (HRESULT hr = MFCreateMediaType(&out); FAILED(hr)) return fail(hresult_text(hr));
  const UINT32 fps = s.fps;
  for (HRESULT hr : {out->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), out->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264),
                     out->SetUINT32(MF_MT_AVG_BITRATE, s.bitrate), out->SetUINT32(MF_MT_MPEG2_PROFILE, 100),
                     MFSetAttributeRatio(out.Get(), MF_MT_FRAME_RATE, fps, 1),
                     MFSetAttributeSize(out.Get(), MF_MT_FRAME_SIZE, s.width, s.height),
                     out->SetUINT32(MF_MT_INTERLACE_MODE, 2),
                     MFSetAttributeRatio(out.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1)}) {
    if (FAILED(hr)) return fail(hresult_text(hr));
  }
  if (auto r = set_colour(out.Get()); !r) return r;
  if (HRESULT hr = transform->SetOutputType(0, out.Get(), 0); FAILED(hr)) return fail(step_error("SetOutputType", hr));

  ComPtr<IMFMediaType> in;
  if (HRESULT hr = MFCreateMediaType(&in); FAILED(hr)) return fail(hresult_text(hr));
  for (HRESULT hr : {in->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), in->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12),
                     MFSetAttributeSize(in.Get(), MF_MT_FRAME_SIZE, s.width, s.height),
                     MFSetAttributeRatio(in.Get(), MF_MT_FRAME_RATE, fps, 1),
                     in->SetUINT32(MF_MT_INTERLACE_MODE, 2),
                     MFSetAttributeRatio(in.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1)}) {
    if (FAILED(hr)) return fail(hresult_text(hr));
  }
  if (HRESULT hr = transform->SetInputType(0, in.Get(), 0); FAILED(hr)) return fail(step_error("SetInputType", hr));
  return {};
}

}  // namespace

Result<std::unique_ptr<H264Encoder>> create_h264_encoder(const EncoderSettings& settings) {
  (void)CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (HRESULT hr = MFStartup(kMfVersion, 0); FAILED(hr)) return fail(step_error("MFStartup", hr));
  auto found = activate_transform(MFT_CATEGORY_VIDEO_ENCODER, MFVideoFormat_NV12, MFVideoFormat_H264);
  if (!found) return fail(step_error("MFTEnumEx", found.error()));
  if (found->offered == 0) {
    MFShutdown();
    return fail("H.264 энкодер (MFT) не найден в системе");
  }
  if (!found->transform) return fail("MFT ActivateObject: " + found->last_error);
  ComPtr<IMFTransform>& transform = found->transform;

  if (ComPtr<ICodecAPI> api = codec_api_of(transform.Get())) {
    if (FAILED(set_bool(api.Get(), kAvLowLatencyMode, true))) {
      write_stderr_line("[capture] AVLowLatencyMode не принят энкодером");
    }
  }
  if (auto s = set_types(transform.Get(), settings); !s) return fail(s.error());

  ComPtr<ICodecAPI> codec_api = codec_api_of(transform.Get());
  ForceKeyForm force_key = ForceKeyForm::None;
  if (codec_api) {
    if (FAILED(set_unsigned(codec_api.Get(), kAvEncMpvGopSize, key_frame_interval(settings.fps)))) {
      write_stderr_line("[capture] AVEncMPVGOPSize не принят — ключевые кадры только по решению энкодера");
    }
    if (SUCCEEDED(set_bool(codec_api.Get(), kAvEncVideoForceKeyFrame, false))) {
      force_key = ForceKeyForm::Boolean;
    } else if (SUCCEEDED(set_unsigned(codec_api.Get(), kAvEncVideoForceKeyFrame, 0))) {
      force_key = ForceKeyForm::Unsigned;
    } else {
      write_stderr_line(kNoForceKey);
    }
  }
  return std::unique_ptr<H264Encoder>(new MfEncoder(settings.width, settings.height, settings.fps,
                                                    std::move(transform), std::move(codec_api), force_key));
}

}  // namespace nimbra::platform
