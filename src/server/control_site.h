// The library's side of hosting the control: its client site, its property-change
// sink and its event sink, in one small COM object. Events are received and ignored.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleidl.h>

namespace ulvane::server {

class ControlSite final : public IOleClientSite, public IPropertyNotifySink, public IDispatch {
public:
  // Made with one reference, which the caller owns.
  ControlSite() = default;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IOleClientSite: a site with no container, no moniker and no window.
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** moniker) override;
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override;
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IPropertyNotifySink
  HRESULT STDMETHODCALLTYPE OnChanged(DISPID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID) override { return S_OK; }

  // IDispatch: the event sink. Events are accepted; there are no ambient properties.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                   UINT*) override;

private:
  ~ControlSite() = default;
  LONG references_ = 1;
};

}  // namespace ulvane::server
