#include "platform/win/wgc_capture.h"

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>
#include <objidl.h>
#include <roapi.h>
#include <winstring.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/win/agile_object.h"
#include "platform/win/d3d11_device.h"
#include "platform/win/hresult.h"
#include "platform/win/wgc_abi.h"
#include "sys/channel.h"

namespace nimbra::platform {

using namespace wgc;

// What the capture thread and the loop share. Every use of the device
// context happens under context_lock; the parked frame under ring_lock,
// always taken after context_lock when both are held.
struct WgcShared {
  std::mutex context_lock;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<ID3D11Texture2D> staging;
  Size max_copy;
  ComPtr<IDirect3D11CaptureFramePool> pool;  // agile: both threads poll it
  DWORD thread_id = 0;

  std::mutex ring_lock;
  std::condition_variable ring_ready;
  std::optional<Bytes> ring;
  Size ring_size;
  Bytes spare;  // a buffer to fill next, so frames cost no allocation
  std::atomic<bool> closed{false};
};

namespace {

// Counted over the whole process, as the diagnostics report them.
std::atomic<std::uint32_t> frames_received{0};
std::atomic<std::uint32_t> empty_polls{0};
std::atomic<std::uint32_t> copy_failures{0};
std::atomic<bool> first_empty_seen{false};

// A delegate for one event, agile as the capture classes require.
template <class Interface, class Sender>
class EventHandler final : public AgileObject<Interface> {
 public:
  explicit EventHandler(std::function<void(Sender*)> on_event) : on_event_(std::move(on_event)) {}
  HRESULT STDMETHODCALLTYPE Invoke(Sender* sender, IInspectable*) override {
    if (sender == nullptr) return E_POINTER;
    on_event_(sender);
    return S_OK;
  }

 private:
  std::function<void(Sender*)> on_event_;
};

// Copies the texture of one frame into a buffer and parks it; false on failure.
bool park_frame(IDirect3D11CaptureFrame* frame, WgcShared& shared) {
  ComPtr<IDirect3DSurface> surface;
  ComPtr<IDirect3DDxgiInterfaceAccess> access;
  ComPtr<ID3D11Texture2D> texture;
  if (FAILED(frame->get_Surface(&surface)) || !surface || FAILED(query(surface.Get(), access)) ||
      FAILED(access->GetInterface(__uuidof(ID3D11Texture2D), reinterpret_cast<void**>(texture.GetAddressOf()))) ||
      !texture) {
    return false;
  }
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  const Size size{std::min(desc.Width, shared.max_copy.width), std::min(desc.Height, shared.max_copy.height)};
  const std::lock_guard context(shared.context_lock);
  const D3D11_BOX box{0, 0, 0, size.width, size.height, 1};
  shared.context->CopySubresourceRegion(shared.staging.Get(), 0, 0, 0, 0, texture.Get(), 0, &box);
  Bytes buffer;
  {
    const std::lock_guard ring(shared.ring_lock);
    buffer = std::move(shared.spare);
  }
  buffer.resize(std::size_t{size.width} * size.height * 4);
  if (!copy_staging_rows(shared.context.Get(), shared.staging.Get(), std::size_t{size.width} * 4, size.height,
                         buffer.data(), "Map")) {
    return false;
  }
  const std::lock_guard ring(shared.ring_lock);
  if (shared.ring) shared.spare = std::move(*shared.ring);  // an untaken frame is dropped
  shared.ring = std::move(buffer);
  shared.ring_size = size;
  shared.ring_ready.notify_one();
  return true;
}

// Takes the pool's next frame, if any, into the ring.
bool copy_next_frame(WgcShared& shared) {
  ComPtr<IDirect3D11CaptureFrame> frame;
  if (FAILED(shared.pool->TryGetNextFrame(&frame)) || !frame) {
    ++empty_polls;
    if (!first_empty_seen.exchange(true)) {
      ComPtr<IDirect3D11CaptureFrame> again;
      if (HRESULT hr = shared.pool->TryGetNextFrame(&again); FAILED(hr)) {
        write_stderr_line("[capture] wgc TryGetNextFrame: " + hresult_text(hr));
      }
      if (ComPtr<IClosable> closable; again && SUCCEEDED(query(again.Get(), closable))) closable->Close();
    }
    return false;
  }
  ++frames_received;
  const bool parked = park_frame(frame.Get(), shared);
  if (!parked && copy_failures++ < 3) write_stderr_line("[capture] wgc: сбой на шаге кадр");
  if (ComPtr<IClosable> closable; SUCCEEDED(query(frame.Get(), closable))) closable->Close();
  return parked;
}

template <class Factory>
HRESULT activation_factory(const wchar_t* name, ComPtr<Factory>& factory) {
  HSTRING_HEADER header;
  HSTRING id = nullptr;
  HRESULT hr = WindowsCreateStringReference(name, static_cast<UINT32>(std::wcslen(name)), &header, &id);
  if (SUCCEEDED(hr)) hr = RoGetActivationFactory(id, __uuidof(Factory), reinterpret_cast<void**>(factory.GetAddressOf()));
  return SUCCEEDED(hr) && !factory ? E_POINTER : hr;
}

std::string last_error_text(const char* step) { return std::string(step) + ": " + error_text(GetLastError()); }

// The capture objects that live as long as the thread's message loop.
struct Capture {
  ComPtr<IInspectable> queue_controller;
  ComPtr<IGraphicsCaptureItem> item;
  ComPtr<IGraphicsCaptureSession> session;
  SizeInt32 size{};
};

// Steps up to the frame pool: the queue, the devices, the item.
Result<Capture> create_capture(std::int64_t window, WgcShared& shared, ComPtr<IDirect3DDevice>& device) {
  Capture c;
  CO_MTA_USAGE_COOKIE cookie{};
  if (HRESULT hr = CoIncrementMTAUsage(&cookie); FAILED(hr)) return fail(step_error("MTA", hr));
  if (HRESULT hr = RoInitialize(RO_INIT_MULTITHREADED); FAILED(hr)) return fail(step_error("RoInitialize", hr));
  const HMODULE messaging = LoadLibraryW(L"CoreMessaging.dll");
  const auto create_queue = messaging == nullptr ? nullptr
      : reinterpret_cast<CreateDispatcherQueueControllerFn>(
            reinterpret_cast<void*>(GetProcAddress(messaging, "CreateDispatcherQueueController")));
  if (create_queue == nullptr) return fail(last_error_text("DispatcherQueue"));
  if (HRESULT hr = create_queue({sizeof(DispatcherQueueOptions), 2, 0}, &c.queue_controller); FAILED(hr)) {
    return fail(step_error("DispatcherQueue", hr));
  }
  Result<D3d11Device> d3d = create_d3d11_device(D3D11_CREATE_DEVICE_BGRA_SUPPORT);
  if (!d3d) return fail(d3d.error());
  ComPtr<IDXGIDevice> dxgi;
  if (HRESULT hr = query(d3d->device.Get(), dxgi); FAILED(hr)) return fail(step_error("IDXGIDevice", hr));
  const auto wrap = reinterpret_cast<CreateDirect3D11DeviceFromDXGIDeviceFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"d3d11.dll"), "CreateDirect3D11DeviceFromDXGIDevice")));
  if (wrap == nullptr) return fail(last_error_text("WGC-устройство"));
  ComPtr<IInspectable> inspectable;
  if (HRESULT hr = wrap(dxgi.Get(), &inspectable); FAILED(hr) || !inspectable) {
    return fail(step_error("WGC-устройство", FAILED(hr) ? hr : E_POINTER));
  }
  if (HRESULT hr = query(inspectable.Get(), device); FAILED(hr)) return fail(step_error("IDirect3DDevice", hr));
  ComPtr<IGraphicsCaptureItemInterop> interop;
  if (HRESULT hr = activation_factory(L"Windows.Graphics.Capture.GraphicsCaptureItem", interop); FAILED(hr)) {
    return fail(step_error("WGC-factory", hr));
  }
  const bool monitor = window == 0;
  const HRESULT made =
      monitor ? interop->CreateForMonitor(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY), __uuidof(IGraphicsCaptureItem),
                                          reinterpret_cast<void**>(c.item.GetAddressOf()))
              : interop->CreateForWindow(reinterpret_cast<HWND>(static_cast<std::intptr_t>(window)),
                                         __uuidof(IGraphicsCaptureItem), reinterpret_cast<void**>(c.item.GetAddressOf()));
  if (FAILED(made) || !c.item) return fail(step_error(monitor ? "CreateForMonitor" : "CreateForWindow", FAILED(made) ? made : E_POINTER));
  if (HRESULT hr = c.item->get_Size(&c.size); FAILED(hr)) return fail(step_error("WGC Size", hr));
  if (c.size.Width <= 0 || c.size.Height <= 0) {
    return fail("WGC: размер " + std::to_string(c.size.Width) + "×" + std::to_string(c.size.Height));
  }
  shared.context = d3d->context;
  Result<ComPtr<ID3D11Texture2D>> staging = create_bgra_staging(d3d->device.Get(), c.size.Width, c.size.Height);
  if (!staging) return fail(staging.error());
  shared.staging = std::move(*staging);
  shared.max_copy = {static_cast<std::uint32_t>(c.size.Width), static_cast<std::uint32_t>(c.size.Height)};
  return c;
}

// The pool, the session and the two event handlers.
Status start_session(Capture& c, IDirect3DDevice* device, const std::shared_ptr<WgcShared>& shared) {
  ComPtr<IDirect3D11CaptureFramePoolStatics> pools;
  if (HRESULT hr = activation_factory(L"Windows.Graphics.Capture.Direct3D11CaptureFramePool", pools); FAILED(hr)) {
    return fail(step_error("FramePool", hr));
  }
  if (HRESULT hr = pools->Create(device, kPixelFormatB8G8R8A8, 2, c.size, &shared->pool); FAILED(hr) || !shared->pool) {
    return fail(step_error("FramePool", FAILED(hr) ? hr : E_POINTER));
  }
  if (HRESULT hr = shared->pool->CreateCaptureSession(c.item.Get(), &c.session); FAILED(hr) || !c.session) {
    return fail(step_error("CaptureSession", FAILED(hr) ? hr : E_POINTER));
  }
  ComPtr<IFrameArrivedHandler> arrived;
  arrived.Attach(new EventHandler<IFrameArrivedHandler, IDirect3D11CaptureFramePool>(
      [weak = std::weak_ptr<WgcShared>(shared)](IDirect3D11CaptureFramePool*) {
        if (auto s = weak.lock()) copy_next_frame(*s);
      }));
  EventRegistrationToken token{};
  if (HRESULT hr = shared->pool->add_FrameArrived(arrived.Get(), &token); FAILED(hr)) {
    return fail(step_error("FrameArrived", hr));
  }
  write_stderr_line("[capture] wgc: FrameArrived зарегистрирован (token " + std::to_string(token.value) + ")");
  shared->thread_id = GetCurrentThreadId();
  ComPtr<IItemClosedHandler> closed;
  closed.Attach(new EventHandler<IItemClosedHandler, IGraphicsCaptureItem>(
      [weak = std::weak_ptr<WgcShared>(shared), thread = shared->thread_id](IGraphicsCaptureItem*) {
        if (auto s = weak.lock()) s->closed = true;
        PostThreadMessageW(thread, WM_QUIT, 0, 0);
      }));
  EventRegistrationToken closed_token{};
  (void)c.item->add_Closed(closed.Get(), &closed_token);  // without it, the window check still ends the session
  if (HRESULT hr = c.session->StartCapture(); FAILED(hr)) {
    write_stderr_line("[capture] wgc StartCapture: " + hresult_text(hr));
  }
  return {};
}

void run_capture_thread(std::int64_t window, std::shared_ptr<WgcShared> shared, Sender<Status> init) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  if (auto name = reinterpret_cast<SetDescription>(
          reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")))) {
    name(GetCurrentThread(), L"wgc-capture");
  }
  ComPtr<IDirect3DDevice> device;
  Result<Capture> capture = create_capture(window, *shared, device);
  Status started = capture ? start_session(*capture, device.Get(), shared) : Status(fail(capture.error()));
  if (!started) {
    write_stderr_line("[capture] wgc: поток: " + started.error());
    (void)init.try_send(started);
    return;
  }
  (void)init.try_send(Status{});
  init = Sender<Status>();
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  shared->closed = true;
}

}  // namespace

Result<std::unique_ptr<CaptureSource>> WgcCapture::start(std::int64_t window) {
  auto shared = std::make_shared<WgcShared>();
  Channel<Status> init = make_unbounded_channel<Status>();
  try {
    std::thread(run_capture_thread, window, shared, std::move(init.sender)).detach();
  } catch (const std::system_error& error) {
    return fail(std::string("поток WGC: ") + error.what());
  }
  auto answer = init.receiver.receive_for(std::chrono::seconds(5));
  if (std::holds_alternative<TimedOut>(answer)) return fail("WGC-канал: timed out waiting on channel");
  if (std::holds_alternative<ChannelClosed>(answer)) {
    return fail("WGC-канал: channel is empty and sending half is closed");
  }
  if (Status& started = std::get<Status>(answer); !started) return fail(started.error());
  return std::unique_ptr<CaptureSource>(new WgcCapture(std::move(shared)));
}

WgcCapture::~WgcCapture() {
  if (shared_->thread_id != 0) PostThreadMessageW(shared_->thread_id, WM_QUIT, 0, 0);
}

bool WgcCapture::alive() { return !shared_->closed; }

Result<std::optional<BgraFrame>> WgcCapture::grab(std::uint32_t wait_ms) {
  if (shared_->closed) return std::nullopt;
  const std::uint32_t received = frames_received, empty = empty_polls;
  if (received != logged_received_ || empty != logged_empty_) {
    write_stderr_line("[capture] wgc: кадров пришло " + std::to_string(received) + ", пустых " + std::to_string(empty));
    logged_received_ = received;
    logged_empty_ = empty;
  }
  copy_next_frame(*shared_);
  std::unique_lock ring(shared_->ring_lock);
  if (!shared_->ring) {
    shared_->ring_ready.wait_for(ring, std::chrono::milliseconds(std::min<std::uint32_t>(wait_ms, 40)));
  }
  if (!shared_->ring) {
    ring.unlock();
    copy_next_frame(*shared_);
    ring.lock();
  }
  if (shared_->ring) {
    shared_->spare = std::move(image_);
    image_ = std::move(*shared_->ring);
    size_ = shared_->ring_size;
    shared_->ring.reset();
    has_frame_ = true;
  }
  // Nothing new: the last image again, once there is one.
  if (!has_frame_) return std::nullopt;
  return BgraFrame{image_, size_};
}

}  // namespace nimbra::platform
