#include "platform/win/mf_transform.h"

#include <cstring>

namespace nimbra::platform {
namespace {

using Microsoft::WRL::ComPtr;

constexpr UINT32 kEnumFlags = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER;

// A sample with one memory buffer of `capacity` bytes; `content`, when given,
// is copied in and becomes the buffer's current length.
SampleResult memory_sample(DWORD capacity, ByteView content) {
  ComPtr<IMFSample> sample;
  if (HRESULT hr = MFCreateSample(&sample); FAILED(hr)) return std::unexpected(FailedCall{"MFCreateSample", hr});
  ComPtr<IMFMediaBuffer> buffer;
  if (HRESULT hr = MFCreateMemoryBuffer(capacity, &buffer); FAILED(hr)) {
    return std::unexpected(FailedCall{"MFCreateMemoryBuffer", hr});
  }
  if (!content.empty()) {
    BYTE* data = nullptr;
    if (HRESULT hr = buffer->Lock(&data, nullptr, nullptr); FAILED(hr)) {
      return std::unexpected(FailedCall{"buffer Lock", hr});
    }
    std::memcpy(data, content.data(), content.size());
    if (HRESULT hr = buffer->SetCurrentLength(static_cast<DWORD>(content.size())); FAILED(hr)) {
      buffer->Unlock();
      return std::unexpected(FailedCall{{}, hr});
    }
    if (HRESULT hr = buffer->Unlock(); FAILED(hr)) return std::unexpected(FailedCall{{}, hr});
  }
  if (HRESULT hr = sample->AddBuffer(buffer.Get()); FAILED(hr)) return std::unexpected(FailedCall{{}, hr});
  return sample;
}

}  // namespace

std::expected<Activation, HRESULT> activate_transform(const GUID& category, const GUID& input, const GUID& output) {
  MFT_REGISTER_TYPE_INFO input_type{MFMediaType_Video, input};
  MFT_REGISTER_TYPE_INFO output_type{MFMediaType_Video, output};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  if (HRESULT hr = MFTEnumEx(category, kEnumFlags, &input_type, &output_type, &activates, &count); FAILED(hr)) {
    return std::unexpected(hr);
  }
  Activation result;
  result.offered = activates != nullptr ? count : 0;
  for (UINT32 i = 0; i < result.offered && !result.transform; ++i) {
    if (activates[i] == nullptr) continue;
    if (HRESULT hr = activates[i]->ActivateObject(IID_PPV_ARGS(&result.transform)); FAILED(hr)) {
      result.transform.Reset();
      result.last_error = hresult_text(hr);
    } else if (!result.transform) {
      result.last_error = hresult_text(E_POINTER);
    }
  }
  for (UINT32 i = 0; i < result.offered; ++i) {
    if (activates[i] == nullptr) continue;
    (void)activates[i]->ShutdownObject();
    activates[i]->Release();
  }
  CoTaskMemFree(activates);
  return result;
}

SampleResult input_sample(ByteView bytes, LONGLONG time, LONGLONG duration) {
  auto sample = memory_sample(static_cast<DWORD>(bytes.size()), bytes);
  if (!sample) return sample;
  if (HRESULT hr = (*sample)->SetSampleTime(time); FAILED(hr)) return std::unexpected(FailedCall{{}, hr});
  if (HRESULT hr = (*sample)->SetSampleDuration(duration); FAILED(hr)) return std::unexpected(FailedCall{{}, hr});
  return sample;
}

Result<ComPtr<IMFSample>> output_sample(DWORD capacity) {
  auto sample = memory_sample(capacity, {});
  if (!sample) return fail(sample.error().text());
  return std::move(*sample);
}

OutputPass process_output(IMFTransform* transform, ComPtr<IMFSample> own) {
  MFT_OUTPUT_DATA_BUFFER output{};
  output.dwStreamID = 0;
  output.pSample = own.Get();
  DWORD status = 0;
  OutputPass pass;
  pass.hr = transform->ProcessOutput(0, 1, &output, &status);
  // What the transform handed back is ours to release whatever happened.
  ComPtr<IMFCollection> events;
  events.Attach(output.pEvents);
  if (own) {
    pass.sample = std::move(own);
  } else {
    pass.sample.Attach(output.pSample);
  }
  // A pass that reports no sample, or fills none, has nothing to give: asking
  // again would only get the same, so it counts as nothing produced.
  DWORD length = 0;
  const bool no_sample = (output.dwStatus & MFT_OUTPUT_DATA_BUFFER_NO_SAMPLE) == MFT_OUTPUT_DATA_BUFFER_NO_SAMPLE;
  if (SUCCEEDED(pass.hr) && pass.sample &&
      (no_sample || (SUCCEEDED(pass.sample->GetTotalLength(&length)) && length == 0))) {
    pass.sample.Reset();
  }
  return pass;
}

}  // namespace nimbra::platform
