#pragma once
// The few Windows.Graphics.Capture interfaces this program uses, declared by
// hand: mingw-w64 ships no headers for them. Slots follow the published
// metadata: IUnknown-based interfaces start at slot 3, IInspectable-based
// ones at slot 6; properties are get_ (then put_), events add_ then remove_.
#include <windows.h>
#include <eventtoken.h>
#include <inspectable.h>

#include <cstdint>

namespace nimbra::platform::wgc {

struct SizeInt32 {  // passed by value as one 8-byte argument
  std::int32_t Width;
  std::int32_t Height;
};
static_assert(sizeof(SizeInt32) == 8);

struct IDirect3DDevice : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Trim() = 0;
};
struct IDirect3DSurface : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Description(void* description) = 0;
};
struct IDirect3DDxgiInterfaceAccess : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetInterface(REFIID iid, void** object) = 0;
};
struct IClosable : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

struct IGraphicsCaptureItem;
struct IGraphicsCaptureSession;
struct IDirect3D11CaptureFrame;
struct IDirect3D11CaptureFramePool;

// TypedEventHandler<Direct3D11CaptureFramePool, IInspectable>
struct IFrameArrivedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IDirect3D11CaptureFramePool* sender, IInspectable* args) = 0;
};
// TypedEventHandler<GraphicsCaptureItem, IInspectable>
struct IItemClosedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IGraphicsCaptureItem* sender, IInspectable* args) = 0;
};

struct IGraphicsCaptureItemInterop : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateForWindow(HWND window, REFIID iid, void** item) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateForMonitor(HMONITOR monitor, REFIID iid, void** item) = 0;
};
struct IGraphicsCaptureItem : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DisplayName(HSTRING* name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(SizeInt32* size) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_Closed(IItemClosedHandler* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Closed(EventRegistrationToken token) = 0;
};
struct IDirect3D11CaptureFramePoolStatics : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Create(IDirect3DDevice* device, std::int32_t pixel_format, std::int32_t buffers,
                                           SizeInt32 size, IDirect3D11CaptureFramePool** pool) = 0;
};
struct IDirect3D11CaptureFramePool : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Recreate(IDirect3DDevice* device, std::int32_t pixel_format, std::int32_t buffers,
                                             SizeInt32 size) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryGetNextFrame(IDirect3D11CaptureFrame** frame) = 0;
  virtual HRESULT STDMETHODCALLTYPE add_FrameArrived(IFrameArrivedHandler* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_FrameArrived(EventRegistrationToken token) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateCaptureSession(IGraphicsCaptureItem* item,
                                                         IGraphicsCaptureSession** session) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DispatcherQueue(IInspectable** queue) = 0;
};
struct IGraphicsCaptureSession : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE StartCapture() = 0;
};
struct IDirect3D11CaptureFrame : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Surface(IDirect3DSurface** surface) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SystemRelativeTime(std::int64_t* time) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentSize(SizeInt32* size) = 0;
};

// CoreMessaging.dll, loaded at run time: no import library has it.
struct DispatcherQueueOptions {
  DWORD dwSize;
  std::int32_t threadType;     // DQTYPE_THREAD_CURRENT = 2
  std::int32_t apartmentType;  // DQTAT_COM_NONE = 0
};
static_assert(sizeof(DispatcherQueueOptions) == 12);
using CreateDispatcherQueueControllerFn = HRESULT(WINAPI*)(DispatcherQueueOptions options, IInspectable** controller);
// d3d11.dll's export, resolved at run time: where it is missing, calling an import would end the process.
using CreateDirect3D11DeviceFromDXGIDeviceFn = HRESULT(WINAPI*)(IUnknown* dxgi_device, IInspectable** device);

inline constexpr std::int32_t kPixelFormatB8G8R8A8 = 87;

}  // namespace nimbra::platform::wgc

#define NIMBRA_WGC_IID(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  __CRT_UUID_DECL(nimbra::platform::wgc::type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)
NIMBRA_WGC_IID(IDirect3DDevice, 0xa37624ab, 0x8d5f, 0x4650, 0x9d, 0x3e, 0x9e, 0xae, 0x3d, 0x9b, 0xc6, 0x70)
NIMBRA_WGC_IID(IDirect3DSurface, 0x0bf4a146, 0x13c1, 0x4694, 0xbe, 0xe3, 0x7a, 0xbf, 0x15, 0xea, 0xf5, 0x86)
NIMBRA_WGC_IID(IDirect3DDxgiInterfaceAccess, 0xa9b3d012, 0x3df2, 0x4ee3, 0xb8, 0xd1, 0x86, 0x95, 0xf4, 0x57, 0xd3,
               0xc1)
NIMBRA_WGC_IID(IClosable, 0x30d5a829, 0x7fa4, 0x4026, 0x83, 0xbb, 0xd7, 0x5b, 0xae, 0x4e, 0xa9, 0x9e)
NIMBRA_WGC_IID(IFrameArrivedHandler, 0x51a947f7, 0x79cf, 0x5a3e, 0xa3, 0xa5, 0x12, 0x89, 0xcf, 0xa6, 0xdf, 0xe8)
NIMBRA_WGC_IID(IItemClosedHandler, 0xe9c610c0, 0xa68c, 0x5bd9, 0x80, 0x21, 0x85, 0x89, 0x34, 0x6e, 0xee, 0xe2)
NIMBRA_WGC_IID(IGraphicsCaptureItemInterop, 0x3628e81b, 0x3cac, 0x4c60, 0xb7, 0xf4, 0x23, 0xce, 0x0e, 0x0c, 0x33,
               0x56)
NIMBRA_WGC_IID(IGraphicsCaptureItem, 0x79c3f95b, 0x31f7, 0x4ec2, 0xa4, 0x64, 0x63, 0x2e, 0xf5, 0xd3, 0x07, 0x60)
NIMBRA_WGC_IID(IDirect3D11CaptureFramePoolStatics, 0x7784056a, 0x67aa, 0x4d53, 0xae, 0x54, 0x10, 0x88, 0xd5, 0xa8,
               0xca, 0x21)
NIMBRA_WGC_IID(IDirect3D11CaptureFramePool, 0x24eb6d22, 0x1975, 0x422e, 0x82, 0xe7, 0x78, 0x0d, 0xbd, 0x8d, 0xdf,
               0x24)
NIMBRA_WGC_IID(IGraphicsCaptureSession, 0x814e42a9, 0xf70f, 0x4ad7, 0x93, 0x9b, 0xfd, 0xdc, 0xc6, 0xeb, 0x88, 0x0d)
NIMBRA_WGC_IID(IDirect3D11CaptureFrame, 0xfa50c623, 0x38da, 0x4b32, 0xac, 0xf3, 0xfa, 0x97, 0x34, 0xad, 0x80, 0x0e)
#undef NIMBRA_WGC_IID
