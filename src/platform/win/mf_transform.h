#pragma once
// What the encoder and the decoder share about one synchronous Media
// Foundation transform: finding and activating it, the samples that go in
// and out (each holding one memory buffer), and one ProcessOutput pass.
#include <windows.h>
#include <mfapi.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <expected>
#include <string>

#include "platform/win/hresult.h"
#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::platform {

inline constexpr ULONG kMfVersion = 0x00020070;

struct Activation {
  Microsoft::WRL::ComPtr<IMFTransform> transform;  // empty when none could be activated
  UINT32 offered = 0;                              // transforms the enumeration returned
  std::string last_error;                          // text of the last failed activation
};

// Enumerates the synchronous local transforms of `category` from `input` to
// `output` in the system's ranking and activates the first that can be; every
// activation object is shut down and released again. Fails only when the
// enumeration itself fails.
std::expected<Activation, HRESULT> activate_transform(const GUID& category, const GUID& input, const GUID& output);

using SampleResult = std::expected<Microsoft::WRL::ComPtr<IMFSample>, FailedCall>;

// The bytes of one input, stamped with its time and duration (100 ns units).
SampleResult input_sample(ByteView bytes, LONGLONG time, LONGLONG duration);

// An empty sample of `capacity` bytes for the transform to fill; failures give the error's text.
Result<Microsoft::WRL::ComPtr<IMFSample>> output_sample(DWORD capacity);

inline bool provides_samples(const MFT_OUTPUT_STREAM_INFO& info) {
  return (info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) != 0;
}

struct OutputPass {
  HRESULT hr = S_OK;
  Microsoft::WRL::ComPtr<IMFSample> sample;  // empty when nothing was produced, an empty sample included
};

// `own` is the sample to fill, or empty when the transform provides samples.
OutputPass process_output(IMFTransform* transform, Microsoft::WRL::ComPtr<IMFSample> own);

}  // namespace nimbra::platform
