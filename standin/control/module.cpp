// The DLL's COM entry points: the class object and self-registration.
#include <olectl.h>

#include "control.h"
#include "guard.h"
#include "harness.h"
#include "ids.h"
#include "registration.h"

using namespace standin;

namespace {

// This DLL's own module, found from an address inside it (no DllMain needed).
HMODULE this_module() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&this_module), &module);
  return module;
}

// One static factory: it has no state, so its reference count need not be kept.
class Factory : public IClassFactory {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID requested, void** object) override {
    const IID riid = aligned_copy(requested);
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return guarded([&]() -> HRESULT {
      Faults faults = harness::faults_for_new_instance();
      if (const std::optional<Outcome>& refused = faults.create()) {
        throw_if_asked(*refused);
        harness::log_result("create", refused->code);
        return refused->code;
      }
      Control* control = new Control(std::move(faults));
      HRESULT result = control->QueryInterface(riid, object);
      control->Release();
      return result;
    });
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    return guarded([&]() -> HRESULT {
      harness::server_locked(lock != FALSE);
      return S_OK;
    });
  }
};

Factory factory;

}  // namespace

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != kControlClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(riid, object);
}

extern "C" HRESULT __stdcall DllCanUnloadNow() {
  return guarded([] { return harness::can_unload() ? S_OK : S_FALSE; });
}
extern "C" HRESULT __stdcall DllRegisterServer() {
  return guarded([] { return register_control(this_module()); });
}
extern "C" HRESULT __stdcall DllUnregisterServer() {
  return guarded([] { return unregister_control(); });
}
