// The stand-in control object: what a host of the real control sees (embedding,
// persistence, control, dispatch and connection-point interfaces), backed by a
// connection to the stand-in server.
#pragma once

#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <atomic>
#include <map>

#include "connection_point.h"
#include "faults.h"
#include "server_link.h"
#include "variant.h"

namespace standin {

class Control final : public IOleObject,
                      public IPersistStreamInit,
                      public IOleControl,
                      public IDispatch,
                      public IConnectionPointContainer {
public:
  explicit Control(Faults faults);
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IOleObject
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override;
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override;
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close(DWORD save_option) override;
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override { return GetClassID(clsid); }
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD, LPOLESTR*) override { return OLE_S_USEREG; }
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override;
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // IPersistStreamInit (nothing is ever saved: the control is always made new)
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(LPSTREAM) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Save(LPSTREAM, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InitNew() override;

  // IOleControl
  HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnMnemonic(MSG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID dispid) override;
  HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL) override { return S_OK; }

  // IDispatch, also answering as _DVisM
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

private:
  HRESULT step_fault(const std::string& target, const std::string& line);
  HRESULT put(DISPID dispid, DISPPARAMS* params, EXCEPINFO* exception, UINT* arg_error);
  HRESULT get(DISPID dispid, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception);
  HRESULT run_code(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception, UINT* arg_error);
  HRESULT after_put(DISPID dispid, EXCEPINFO* exception);
  // One request to the server; P1 follows its answer. answered_ok tells whether the server ran it.
  HRESULT ask(std::string_view verb, const std::string& payload, EXCEPINFO* exception, bool& answered_ok);
  enum class Trap { ByErrorTrap, Never };
  // Records a failure in Error and ErrorName and fires OnError; raises it unless ErrorTrap
  // is on and the failure is one it traps.
  HRESULT report(const std::string& error, EXCEPINFO* exception, Trap trap = Trap::ByErrorTrap);
  void clear_error();
  void take_p1(const Answer& answer);
  void fire_event(DISPID dispid);
  void fire_changed(DISPID dispid);

  std::atomic<ULONG> references_{1};
  Faults faults_;
  Microsoft::WRL::ComPtr<IOleClientSite> site_;
  bool initialised_ = false;
  SIZEL extent_{847, 847};  // 32 by 32 pixels, in HIMETRIC
  std::map<DISPID, Variant> properties_;
  Variant p1_;
  ServerLink link_;
  ConnectionPoint property_notify_;
  ConnectionPoint events_;
};

}  // namespace standin
