#pragma once
// Small helpers around ICodecAPI shared by the encoder and decoder
// transforms. mingw has no __uuidof binding for ICodecAPI, and its codec
// property GUIDs are only reliable through their STATIC_ forms.
#include <windows.h>
#include <codecapi.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

namespace nimbra::platform {

inline const GUID kAvLowLatencyMode = {STATIC_CODECAPI_AVLowLatencyMode};
inline const GUID kAvEncMpvGopSize = {STATIC_CODECAPI_AVEncMPVGOPSize};
inline const GUID kAvEncVideoForceKeyFrame = {STATIC_CODECAPI_AVEncVideoForceKeyFrame};

inline Microsoft::WRL::ComPtr<ICodecAPI> codec_api_of(IMFTransform* transform) {
  Microsoft::WRL::ComPtr<ICodecAPI> api;
  if (FAILED(transform->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(api.GetAddressOf())))) api.Reset();
  return api;
}

inline HRESULT set_bool(ICodecAPI* api, const GUID& property, bool value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return api->SetValue(&property, &v);
}

inline HRESULT set_unsigned(ICodecAPI* api, const GUID& property, ULONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI4;
  v.ulVal = value;
  return api->SetValue(&property, &v);
}

}  // namespace nimbra::platform
