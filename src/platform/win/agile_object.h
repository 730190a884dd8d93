#pragma once
// A COM object that the system may call from any of its threads (Core Audio's
// completion and notification callbacks, the capture events): it answers
// IAgileObject, and IMarshal through the free-threaded marshaler.
#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <atomic>

namespace nimbra::platform {

template <class Interface>
class AgileObject : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(Interface) || iid == __uuidof(IAgileObject)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    if (iid == __uuidof(IMarshal) && marshaler_) return marshaler_->QueryInterface(iid, out);
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  AgileObject() { CoCreateFreeThreadedMarshaler(static_cast<Interface*>(this), &marshaler_); }
  virtual ~AgileObject() = default;

 private:
  std::atomic<ULONG> references_{1};
  Microsoft::WRL::ComPtr<IUnknown> marshaler_;  // the marshaler's inner unknown
};

}  // namespace nimbra::platform
