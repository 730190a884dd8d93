#pragma once
// One ProcessOutput pass of a synchronous transform, shared by the encoder and
// the decoder: the sample to fill (ours, unless the transform brings its own)
// and whatever the transform hands back, owned.
#include <windows.h>
#include <mfapi.h>
#include <mftransform.h>
#include <wrl/client.h>

#include "platform/win/hresult.h"
#include "sys/result.h"

namespace nimbra::platform {

struct OutputPass {
  HRESULT hr = S_OK;
  Microsoft::WRL::ComPtr<IMFSample> sample;  // empty when nothing was produced
};

inline bool provides_samples(const MFT_OUTPUT_STREAM_INFO& info) {
  return (info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) != 0;
}

// A sample with one memory buffer of `size` bytes; failures give the error's text.
inline Result<Microsoft::WRL::ComPtr<IMFSample>> output_sample(DWORD size) {
  Microsoft::WRL::ComPtr<IMFSample> sample;
  Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = MFCreateSample(&sample);
  if (SUCCEEDED(hr)) hr = MFCreateMemoryBuffer(size, &buffer);
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
  if (FAILED(hr)) return fail(hresult_text(hr));
  return sample;
}

// `own` is the sample to fill, or empty when the transform provides samples.
inline OutputPass process_output(IMFTransform* transform, Microsoft::WRL::ComPtr<IMFSample> own) {
  MFT_OUTPUT_DATA_BUFFER output{};
  output.dwStreamID = 0;
  output.pSample = own.Get();
  DWORD status = 0;
  OutputPass pass;
  pass.hr = transform->ProcessOutput(0, 1, &output, &status);
  // What the transform handed back is ours to release whatever happened.
  Microsoft::WRL::ComPtr<IMFCollection> events;
  events.Attach(output.pEvents);
  if (own) {
    pass.sample = std::move(own);
  } else {
    pass.sample.Attach(output.pSample);
  }
  return pass;
}

}  // namespace nimbra::platform
