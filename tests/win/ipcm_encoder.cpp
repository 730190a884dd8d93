// A lossless H.264 encoder transform for test prefixes of Wine, which has none: every picture is an IDR of I_PCM
// macroblocks, so any decoder gives back exactly the NV12 that went in. It behaves as the documented Windows encoder
// where the capture program depends on it (output type before input type, samples from the caller, NEED_MORE_INPUT
// when nothing is pending, ICodecAPI with the documented VARIANT types, clean points on the first and the forced
// pictures only: no key-frame interval, so a key after a request is the request's) and leaves the rest unimplemented.
//
// NIMBRA_TEST_MFT, a comma list, bends it the ways the program must cope with:
// bool (force-key also takes VT_BOOL), nocodecapi, refuse (ICodecAPI takes no
// value), nosample (S_OK without a sample instead of NEED_MORE_INPUT),
// failinput (the process's first ProcessInput fails), failcreate.
// Each instance made writes "[mft] new" to stderr, each key frame asked for "[mft] key {VARIANT type}".
#include <windows.h>
#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mftransform.h>
#include <strmif.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/rbsp.h"

// What the program never calls.
#define NOT_IMPLEMENTED(method, ...) \
  STDMETHODIMP method(__VA_ARGS__) override { return E_NOTIMPL; }

namespace {

// {d01b447e-3479-4ea3-96da-c86c2aaa2f24}
const CLSID kClsid = {0xd01b447e, 0x3479, 0x4ea3, {0x96, 0xda, 0xc8, 0x6c, 0x2a, 0xaa, 0x2f, 0x24}};
std::atomic<bool> g_input_failed{false};

bool knob(const char* name) {
  char list[256] = {};
  if (GetEnvironmentVariableA("NIMBRA_TEST_MFT", list, sizeof list) >= sizeof list) return false;
  return ("," + std::string(list) + ",").find("," + std::string(name) + ",") != std::string::npos;
}

void trace(const std::string& line) {
  const std::string text = "[mft] " + line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Appends one Annex-B NAL unit.
void append_nal(std::vector<std::uint8_t>& out, std::uint8_t header, nimbra::RbspWriter& rbsp) {
  out.insert(out.end(), {0, 0, 0, 1, header});
  nimbra::escape_into(rbsp.finish(), out);
}

// SPS, PPS and one IDR slice of I_PCM macroblocks for an NV12 picture of even width and height.
std::vector<std::uint8_t> encode_picture(const std::uint8_t* nv12, std::uint32_t width, std::uint32_t height,
                                         std::uint32_t idr_pic_id) {
  const std::uint32_t mbs_wide = (width + 15) / 16, mbs_high = (height + 15) / 16;
  nimbra::RbspWriter sps;
  sps.bits(100 << 16 | 42, 24);  // High profile, no constraint flags, level 4.2
  sps.ue(0), sps.ue(1), sps.ue(0), sps.ue(0);  // id 0, 4:2:0, 8-bit luma and chroma
  sps.bits(0, 2);                              // no transform bypass, no scaling matrices
  sps.ue(0), sps.ue(2), sps.ue(1);  // 4-bit frame_num, pictures in decoding order, one reference frame
  sps.bits(0, 1);
  sps.ue(mbs_wide - 1), sps.ue(mbs_high - 1);
  sps.bits(0b111, 3);  // frames only, direct 8x8 inference, cropped to the picture
  sps.ue(0), sps.ue((mbs_wide * 16 - width) / 2), sps.ue(0), sps.ue((mbs_high * 16 - height) / 2);
  sps.bits(0, 1);  // no VUI

  // PPS: ids 0, CAVLC, one slice group and reference, no weighted prediction, QP 26, deblocking left to the slice.
  nimbra::RbspWriter pps;
  pps.bits(0xce3c, 16);

  nimbra::RbspWriter slice;
  slice.ue(0), slice.ue(7), slice.ue(0);  // from the first macroblock, I as every slice of the picture, PPS 0
  slice.bits(0, 4);                       // frame_num
  slice.ue(idr_pic_id);
  slice.bits(0, 2);  // dec_ref_pic_marking: prior pictures still output, short-term
  slice.ue(0), slice.ue(1);  // slice_qp_delta 0, no deblocking
  const std::uint8_t* chroma = nv12 + std::size_t{width} * height;
  for (std::uint32_t mb_y = 0; mb_y < mbs_high; ++mb_y) {
    for (std::uint32_t mb_x = 0; mb_x < mbs_wide; ++mb_x) {
      // One plane's block of side `size`, its samples `step` bytes apart; the coded area beyond the picture
      // repeats its last row and column, which the decoder crops away.
      const auto block = [&](const std::uint8_t* plane, std::uint32_t size, std::uint32_t step) {
        for (std::uint32_t y = 0; y < size; ++y) {
          const std::size_t row = std::min(mb_y * size + y, height * size / 16 - 1) * std::size_t{width};
          for (std::uint32_t x = 0; x < size; ++x) {
            slice.byte(plane[row + std::min(mb_x * size + x, width * size / 16 - 1) * step]);
          }
        }
      };
      slice.ue(25);  // I_PCM
      slice.align();
      block(nv12, 16, 1), block(chroma, 8, 2), block(chroma + 1, 8, 2);
    }
  }

  std::vector<std::uint8_t> out;
  append_nal(out, 0x67, sps);
  append_nal(out, 0x68, pps);
  append_nal(out, 0x65, slice);
  return out;
}

// The media type's frame size when it is video of `subtype` at an even, non-zero size, else 0 x 0.
std::pair<UINT32, UINT32> video_size(IMFMediaType* type, const GUID& subtype) {
  GUID major{}, sub{};
  UINT32 width = 0, height = 0;
  type->GetGUID(MF_MT_MAJOR_TYPE, &major), type->GetGUID(MF_MT_SUBTYPE, &sub);
  MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height);
  if (major != MFMediaType_Video || sub != subtype || !width || !height || width % 2 || height % 2) return {0, 0};
  return {width, height};
}

// One input and one output stream, both with id 0, which the program names alone.
class Encoder final : public IMFTransform, public ICodecAPI {
 public:
  Encoder() { trace("new"); }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IMFTransform) {
      *out = static_cast<IMFTransform*>(this);
    } else if (iid == IID_ICodecAPI && codec_api_) {
      *out = static_cast<ICodecAPI*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO* info) override {
    // 384 samples a macroblock, grown by half at most by emulation prevention; its type and the headers fit the rest.
    const DWORD macroblocks = (width_ + 15) / 16 * ((height_ + 15) / 16);
    *info = {MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER,
             macroblocks * (384 * 3 / 2 + 4) + 256, 0};
    return S_OK;
  }
  NOT_IMPLEMENTED(GetOutputAvailableType, DWORD, DWORD, IMFMediaType**) NOT_IMPLEMENTED(GetStreamCount, DWORD*, DWORD*)
  NOT_IMPLEMENTED(GetInputAvailableType, DWORD, DWORD, IMFMediaType**) NOT_IMPLEMENTED(GetAttributes, IMFAttributes**)
  NOT_IMPLEMENTED(GetInputStreamInfo, DWORD, MFT_INPUT_STREAM_INFO*) NOT_IMPLEMENTED(AddInputStreams, DWORD, DWORD*)
  NOT_IMPLEMENTED(GetOutputStreamAttributes, DWORD, IMFAttributes**) NOT_IMPLEMENTED(GetInputStatus, DWORD, DWORD*)
  NOT_IMPLEMENTED(GetInputStreamAttributes, DWORD, IMFAttributes**) NOT_IMPLEMENTED(SetOutputBounds, LONGLONG, LONGLONG)
  NOT_IMPLEMENTED(GetStreamLimits, DWORD*, DWORD*, DWORD*, DWORD*) NOT_IMPLEMENTED(ProcessEvent, DWORD, IMFMediaEvent*)
  NOT_IMPLEMENTED(ProcessMessage, MFT_MESSAGE_TYPE, ULONG_PTR) NOT_IMPLEMENTED(DeleteInputStream, DWORD)
  NOT_IMPLEMENTED(GetOutputCurrentType, DWORD, IMFMediaType**) NOT_IMPLEMENTED(GetOutputStatus, DWORD*)
  NOT_IMPLEMENTED(GetStreamIDs, DWORD, DWORD*, DWORD, DWORD*) NOT_IMPLEMENTED(GetInputCurrentType, DWORD, IMFMediaType**)

  // The program sets each type once, for real.
  STDMETHODIMP SetOutputType(DWORD, IMFMediaType* type, DWORD) override {
    const auto [width, height] = video_size(type, MFVideoFormat_H264);
    width_ = width, height_ = height;
    return width != 0 ? S_OK : MF_E_INVALIDMEDIATYPE;
  }
  STDMETHODIMP SetInputType(DWORD, IMFMediaType* type, DWORD) override {
    if (width_ == 0) return MF_E_TRANSFORM_TYPE_NOT_SET;
    input_type_ = video_size(type, MFVideoFormat_NV12) == std::pair{width_, height_};
    return input_type_ ? S_OK : MF_E_INVALIDMEDIATYPE;
  }

  STDMETHODIMP ProcessInput(DWORD, IMFSample* sample, DWORD) override {
    if (!input_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (knob("failinput") && !g_input_failed.exchange(true)) return E_FAIL;
    Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
    if (HRESULT hr = sample->ConvertToContiguousBuffer(&buffer); FAILED(hr)) return hr;
    BYTE* data = nullptr;
    DWORD length = 0;
    HRESULT hr = buffer->Lock(&data, nullptr, &length);
    if (SUCCEEDED(hr) && length < width_ * height_ * 3 / 2) hr = E_INVALIDARG;
    if (SUCCEEDED(hr)) {
      pending_ = encode_picture(data, width_, height_, pictures_ % 2);
      pending_key_ = pictures_++ == 0 || force_key_;
      force_key_ = false;
    }
    if (data) buffer->Unlock();
    return hr;
  }

  STDMETHODIMP ProcessOutput(DWORD, DWORD, MFT_OUTPUT_DATA_BUFFER* outputs, DWORD* status) override {
    *status = 0;
    if (pending_.empty()) {
      if (!no_sample_) return MF_E_TRANSFORM_NEED_MORE_INPUT;
      outputs[0].dwStatus = MFT_OUTPUT_DATA_BUFFER_NO_SAMPLE;
      return S_OK;
    }
    IMFSample* sample = outputs[0].pSample;  // the caller's: this transform does not provide samples
    Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
    if (HRESULT hr = sample->GetBufferByIndex(0, &buffer); FAILED(hr)) return hr;
    BYTE* data = nullptr;
    DWORD capacity = 0;
    HRESULT hr = buffer->Lock(&data, &capacity, nullptr);
    if (SUCCEEDED(hr) && capacity < pending_.size()) hr = MF_E_BUFFERTOOSMALL;
    if (SUCCEEDED(hr)) {
      std::memcpy(data, pending_.data(), pending_.size());
      hr = buffer->SetCurrentLength(static_cast<DWORD>(pending_.size()));
    }
    if (data) buffer->Unlock();
    if (FAILED(hr)) return hr;
    sample->SetUINT32(MFSampleExtension_CleanPoint, pending_key_);
    pending_.clear();
    return S_OK;
  }

  // ICodecAPI: the three properties the program sets, each with its documented VARIANT type (the GOP size is
  // taken and ignored).
  STDMETHODIMP SetValue(const GUID* api, VARIANT* value) override {
    if (refuse_) return E_INVALIDARG;
    if (*api == CODECAPI_AVLowLatencyMode) return value->vt == VT_BOOL ? S_OK : E_INVALIDARG;
    if (*api == CODECAPI_AVEncMPVGOPSize) return value->vt == VT_UI4 ? S_OK : E_INVALIDARG;
    if (*api != CODECAPI_AVEncVideoForceKeyFrame) return E_NOTIMPL;
    if (value->vt != VT_UI4 && !(value->vt == VT_BOOL && bool_force_key_)) return E_INVALIDARG;
    if (value->vt == VT_UI4 ? value->ulVal != 0 : value->boolVal != VARIANT_FALSE) {
      trace("key " + std::to_string(value->vt));
      force_key_ = true;
    }
    return S_OK;
  }
  NOT_IMPLEMENTED(GetParameterRange, const GUID*, VARIANT*, VARIANT*, VARIANT*) NOT_IMPLEMENTED(SetAllDefaults)
  NOT_IMPLEMENTED(SetValueWithNotify, const GUID*, VARIANT*, GUID**, ULONG*) NOT_IMPLEMENTED(IsModifiable, const GUID*)
  NOT_IMPLEMENTED(GetParameterValues, const GUID*, VARIANT**, ULONG*) NOT_IMPLEMENTED(GetValue, const GUID*, VARIANT*)
  NOT_IMPLEMENTED(SetAllSettingsWithNotify, IStream*, GUID**, ULONG*) NOT_IMPLEMENTED(UnregisterForEvent, const GUID*)
  NOT_IMPLEMENTED(SetAllDefaultsWithNotify, GUID**, ULONG*) NOT_IMPLEMENTED(RegisterForEvent, const GUID*, LONG_PTR)
  NOT_IMPLEMENTED(GetDefaultValue, const GUID*, VARIANT*) NOT_IMPLEMENTED(IsSupported, const GUID*)
  NOT_IMPLEMENTED(GetAllSettings, IStream*) NOT_IMPLEMENTED(SetAllSettings, IStream*)

 private:
  std::atomic<ULONG> references_{1};
  const bool codec_api_ = !knob("nocodecapi"), refuse_ = knob("refuse"), bool_force_key_ = knob("bool");
  const bool no_sample_ = knob("nosample");
  bool input_type_ = false;
  UINT32 width_ = 0, height_ = 0;  // of the output type, 0 until it is set
  std::uint32_t pictures_ = 0;
  bool force_key_ = false, pending_key_ = false;
  std::vector<std::uint8_t> pending_;
};

// Static, never freed; the module stays loaded for the process's life.
class Factory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    const bool known = iid == IID_IUnknown || iid == IID_IClassFactory;
    *out = known ? this : nullptr;
    return known ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID iid, void** out) override {
    *out = nullptr;
    if (knob("failcreate")) return E_ACCESSDENIED;
    auto* encoder = new Encoder;
    const HRESULT hr = encoder->QueryInterface(iid, out);
    encoder->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
} g_factory;

}  // namespace

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module, as the linker places it

extern "C" {

__declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  return clsid == kClsid ? g_factory.QueryInterface(iid, out) : CLASS_E_CLASSNOTAVAILABLE;
}

// The COM class, then the transform in the video encoder category, NV12 in and H.264 out.
__declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return E_FAIL;
  const wchar_t server[] = L"CLSID\\{d01b447e-3479-4ea3-96da-c86c2aaa2f24}\\InprocServer32", both[] = L"Both";
  LSTATUS status = RegSetKeyValueW(HKEY_CLASSES_ROOT, server, nullptr, REG_SZ, path, (length + 1) * sizeof(wchar_t));
  if (status == ERROR_SUCCESS) status = RegSetKeyValueW(HKEY_CLASSES_ROOT, server, L"ThreadingModel", REG_SZ, both, sizeof both);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12}, output{MFMediaType_Video, MFVideoFormat_H264};
  wchar_t name[] = L"I_PCM H.264 test encoder";
  return MFTRegister(kClsid, MFT_CATEGORY_VIDEO_ENCODER, name, 0, 1, &input, 1, &output, nullptr);
}

}  // extern "C"
