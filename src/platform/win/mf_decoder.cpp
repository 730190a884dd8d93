// H.264 decoding on Windows with a synchronous Media Foundation decoder
// transform. Pictures come out as NV12 at the coded size; the display size is
// chosen at every format change of the stream.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <algorithm>
#include <string>

#include "codec/sps_bt601.h"
#include "pixels/nv12_to_rgba.h"
#include "platform/codecs.h"
#include "platform/win/hresult.h"
#include "platform/win/mf_codec_api.h"
#include "platform/win/mf_transform.h"
#include "watch/display_size.h"
#include "watch/output_stride.h"

namespace nimbra::platform {
namespace {

using Microsoft::WRL::ComPtr;

constexpr LONGLONG kSampleDuration = 333'333;
constexpr int kMaxOutputPasses = 8;
constexpr DWORD kMaxOutputTypes = 32;

// Wine's decoder runs GStreamer, which guesses BT.709 for an untagged HD
// stream and converts its pictures to a BT.601 default on the way out; a
// stream labelled BT.601 with centred chroma passes through unconverted.
// Windows' decoder hands out what it decoded whatever the labels say, so there
// the stream goes in untouched.
bool decoder_converts_by_labels() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Owns one MFStartup: whatever happens after it, Media Foundation is shut
// down again when the decoder (or its failed opening) goes away.
class MfRunning {
 public:
  MfRunning() = default;
  MfRunning(const MfRunning&) = delete;
  MfRunning& operator=(const MfRunning&) = delete;
  ~MfRunning() {
    if (started_) MFShutdown();
  }
  HRESULT start() {
    const HRESULT hr = MFStartup(kMfVersion, 0);
    started_ = SUCCEEDED(hr);
    return hr;
  }

 private:
  bool started_ = false;
};

Status select_nv12_output(IMFTransform* transform) {
  for (DWORD i = 0; i < kMaxOutputTypes; ++i) {
    ComPtr<IMFMediaType> type;
    if (FAILED(transform->GetOutputAvailableType(0, i, &type))) break;
    GUID subtype{};
    if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12) continue;
    if (SUCCEEDED(transform->SetOutputType(0, type.Get(), 0))) return {};
  }
  return fail("NV12 output unavailable");
}

class MfDecoder final : public H264Decoder {
 public:
  MfDecoder(std::unique_ptr<MfRunning> mf, std::vector<Size> sizes, ComPtr<IMFTransform> transform)
      : mf_(std::move(mf)), transform_(std::move(transform)), sizes_(std::move(sizes)), display_(sizes_.front()) {}

  Result<std::vector<Bytes>> decode(ByteView unit) override {
    if (auto s = feed(unit); !s) return fail(s.error());
    std::vector<Bytes> pictures;
    for (int pass = 0; pass < kMaxOutputPasses; ++pass) {
      MFT_OUTPUT_STREAM_INFO info{};
      if (HRESULT hr = transform_->GetOutputStreamInfo(0, &info); FAILED(hr)) return fail(step_error("info", hr));
      ComPtr<IMFSample> own;
      if (!provides_samples(info)) {
        auto made = output_sample(std::max<DWORD>(info.cbSize, display_.width * display_.height * 3 / 2));
        if (!made) return fail(made.error());
        own = std::move(*made);
      }
      auto [hr, produced] = process_output(transform_.Get(), std::move(own));
      if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) break;
      if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
        if (auto s = select_nv12_output(transform_.Get()); !s) return fail(s.error());
        if (auto s = update_display_size(); !s) return fail(s.error());
        continue;
      }
      if (FAILED(hr)) return fail(step_error("output", hr));
      if (!produced) break;
      auto picture = convert(produced.Get());
      if (!picture) return fail(picture.error());
      pictures.push_back(std::move(*picture));
    }
    return pictures;
  }

  Size display_size() const override { return display_; }

 private:
  Status feed(ByteView original) {
    Bytes labelled;
    if (relabel_) labelled = label_sps_bt601(original);
    auto sample = input_sample(relabel_ ? ByteView(labelled) : original, sample_time_, kSampleDuration);
    if (!sample) return fail(sample.error().text());
    sample_time_ += kSampleDuration;
    if (HRESULT hr = transform_->ProcessInput(0, sample->Get(), 0); FAILED(hr)) return fail(step_error("input", hr));
    return {};
  }

  Status update_display_size() {
    ComPtr<IMFMediaType> type;
    if (HRESULT hr = transform_->GetOutputCurrentType(0, &type); FAILED(hr)) {
      return fail(step_error("current type", hr));
    }
    UINT32 coded_width = 0, coded_height = 0;
    if (HRESULT hr = MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &coded_width, &coded_height); FAILED(hr)) {
      return fail(step_error("frame size", hr));
    }
    auto chosen = choose_display_size(sizes_, {coded_width, coded_height});
    if (!chosen) return fail(chosen.error());
    display_ = *chosen;
    return {};
  }

  std::uint32_t stride() const {
    ComPtr<IMFMediaType> type;
    UINT32 value = 0;
    if (FAILED(transform_->GetOutputCurrentType(0, &type)) || FAILED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &value))) {
      return output_stride(std::nullopt, display_.width);
    }
    return output_stride(value, display_.width);
  }

  Result<Bytes> convert(IMFSample* sample) {
    ComPtr<IMFMediaBuffer> buffer;
    if (HRESULT hr = sample->ConvertToContiguousBuffer(&buffer); FAILED(hr)) return fail(hresult_text(hr));
    BYTE* data = nullptr;
    DWORD length = 0;
    if (HRESULT hr = buffer->Lock(&data, nullptr, &length); FAILED(hr)) return fail(hresult_text(hr));
    Bytes rgba;
    auto converted = nv12_to_rgba(ByteView(data, length), display_.width, display_.height, stride(), rgba);
    buffer->Unlock();
    if (!converted) return fail(converted.error());
    return rgba;
  }

  // Members are destroyed last to first: Media Foundation shuts down only
  // after the transform is released.
  std::unique_ptr<MfRunning> mf_;
  ComPtr<IMFTransform> transform_;
  std::vector<Size> sizes_;
  Size display_;
  LONGLONG sample_time_ = 0;
  const bool relabel_ = decoder_converts_by_labels();
};

// Without low-latency mode a decoder may hold pictures back for reordering
// that a live stream never has. Windows' decoder takes the mode as a
// transform attribute; the codec property is asked for as well, for decoders
// that only know that one.
void ask_for_low_latency(IMFTransform* transform) {
  ComPtr<IMFAttributes> attributes;
  if (SUCCEEDED(transform->GetAttributes(&attributes)) && attributes) {
    (void)attributes->SetUINT32(MF_LOW_LATENCY, TRUE);
  }
  if (ComPtr<ICodecAPI> api = codec_api_of(transform)) (void)set_bool(api.Get(), kAvLowLatencyMode, true);
}

Status set_input_type(IMFTransform* transform, Size size) {
  ComPtr<IMFMediaType> type;
  if (HRESULT hr = MFCreateMediaType(&type); FAILED(hr)) return fail(hresult_text(hr));
  for (HRESULT hr : {type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264),
                     MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, size.width, size.height),
                     MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1)}) {
    if (FAILED(hr)) return fail(hresult_text(hr));
  }
  if (HRESULT hr = transform->SetInputType(0, type.Get(), 0); FAILED(hr)) return fail(step_error("input type", hr));
  return {};
}

}  // namespace

Result<std::unique_ptr<H264Decoder>> open_h264_decoder(const std::vector<Size>& sizes) {
  if (sizes.empty()) return fail("decoder unavailable");
  (void)CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  auto mf = std::make_unique<MfRunning>();
  if (HRESULT hr = mf->start(); FAILED(hr)) return fail(step_error("startup", hr));
  auto found = activate_transform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_H264, MFVideoFormat_NV12);
  if (!found) return fail(step_error("enum", found.error()));
  if (found->offered == 0) return fail("decoder unavailable");
  if (!found->transform) return fail("decoder activation failed");
  ComPtr<IMFTransform>& transform = found->transform;
  ask_for_low_latency(transform.Get());
  if (auto s = set_input_type(transform.Get(), sizes.front()); !s) return fail(s.error());
  if (auto s = select_nv12_output(transform.Get()); !s) return fail(s.error());
  if (HRESULT hr = transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0); FAILED(hr)) {
    return fail(step_error("begin", hr));
  }
  if (HRESULT hr = transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0); FAILED(hr)) {
    return fail(step_error("start", hr));
  }
  return std::unique_ptr<H264Decoder>(new MfDecoder(std::move(mf), sizes, std::move(transform)));
}

}  // namespace nimbra::platform
