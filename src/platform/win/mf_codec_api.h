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

// Zero-initialised, so an encoder that reads a wider member than the type
// says finds no stray bytes.
inline VARIANT bool_variant(bool value) {
  VARIANT v{};
  v.vt = VT_BOOL;
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

inline VARIANT unsigned_variant(ULONG value) {
  VARIANT v{};
  v.vt = VT_UI4;
  v.ulVal = value;
  return v;
}

inline HRESULT set_bool(ICodecAPI* api, const GUID& property, bool value) {
  VARIANT v = bool_variant(value);
  return api->SetValue(&property, &v);
}

inline HRESULT set_unsigned(ICodecAPI* api, const GUID& property, ULONG value) {
  VARIANT v = unsigned_variant(value);
  return api->SetValue(&property, &v);
}

// How an encoder takes the force-key-frame property: the VT_UI4 it is
// documented with, or the VT_BOOL that some encoders expect instead.
enum class ForceKeyForm { None, Boolean, Unsigned };

inline VARIANT force_key_variant(ForceKeyForm form, bool on) {
  return form == ForceKeyForm::Boolean ? bool_variant(on) : unsigned_variant(on ? 1 : 0);
}

// Asks for a key frame through `set` (a callable taking a VARIANT& and
// returning the HRESULT of the property's SetValue). Accepting "off" at
// creation does not prove that "on" is accepted: a refused VT_BOOL is
// retried as VT_UI4. Returns the form that worked, None when neither did.
template <class Set>
ForceKeyForm request_key_frame(ForceKeyForm form, Set&& set) {
  if (form == ForceKeyForm::None) return form;
  VARIANT on = force_key_variant(form, true);
  if (SUCCEEDED(set(on))) return form;
  if (form == ForceKeyForm::Boolean) {
    VARIANT documented = unsigned_variant(1);
    if (SUCCEEDED(set(documented))) return ForceKeyForm::Unsigned;
  }
  return ForceKeyForm::None;
}

}  // namespace nimbra::platform
