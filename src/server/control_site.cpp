#include "server/control_site.h"

#include <cstring>

#include "server/control_ids.h"

namespace ulvane::server {

HRESULT ControlSite::QueryInterface(REFIID requested, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  // Calls from another apartment arrive through the platform's marshalling, which may
  // hand over the interface id unaligned (Wine's does, from its message buffer): read
  // it as bytes into one of our own before comparing.
  IID iid;
  std::memcpy(&iid, &requested, sizeof iid);
  if (iid == IID_IUnknown || iid == IID_IOleClientSite)
    *object = static_cast<IOleClientSite*>(this);
  else if (iid == IID_IPropertyNotifySink)
    *object = static_cast<IPropertyNotifySink*>(this);
  else if (iid == IID_IDispatch || iid == kControlEvents)
    *object = static_cast<IDispatch*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG ControlSite::AddRef() {
  return InterlockedIncrement(&references_);
}

ULONG ControlSite::Release() {
  ULONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return left;
}

HRESULT ControlSite::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker) *moniker = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlSite::GetContainer(IOleContainer** container) {
  if (container) *container = nullptr;
  return E_NOINTERFACE;
}

HRESULT ControlSite::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT ControlSite::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlSite::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
  return E_NOTIMPL;
}

HRESULT ControlSite::Invoke(DISPID, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                            UINT*) {
  // An ambient property, which a caller may ask for as DISPATCH_METHOD |
  // DISPATCH_PROPERTYGET, as Visual Basic does: the site has none.
  if (flags & DISPATCH_PROPERTYGET) return DISP_E_MEMBERNOTFOUND;
  if (result) VariantInit(result);
  return S_OK;
}

}  // namespace ulvane::server
