#include "bare_control.h"

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "common/text.h"
#include "server/control_ids.h"
#include "server/control_site.h"

namespace ulvane::bench {
namespace {

using namespace ulvane::server;

void put(IDispatch* dispatch, DISPID id, VARIANT value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  EXCEPINFO exception{};
  dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, &exception, nullptr);
}

VARIANT get(IDispatch* dispatch, DISPID id) {
  VARIANT value;
  VariantInit(&value);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXCEPINFO exception{};
  dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, &exception, nullptr);
  return value;
}

VARIANT text(const std::string& ansi) {
  VARIANT value;
  value.vt = VT_BSTR;
  value.bstrVal = to_bstr(ansi).release();
  return value;
}

}  // namespace

std::string bare_control_session(const std::string& host, const std::string& port,
                                 const std::string& name_space, const std::vector<std::string>& lines,
                                 bool read_p1) {
  CoInitialize(nullptr);
  IOleObject* object = nullptr;
  CoCreateInstance(kControlClass, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IOleObject,
                   reinterpret_cast<void**>(&object));
  auto* site = new ControlSite;
  DWORD status = 0;
  object->GetMiscStatus(DVASPECT_CONTENT, &status);
  object->SetClientSite(site);
  IPersistStreamInit* persist = nullptr;
  object->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
  SIZEL extent;
  object->GetExtent(DVASPECT_CONTENT, &extent);
  persist->InitNew();
  IOleControl* control = nullptr;
  object->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&control));
  IDispatch* dispatch = nullptr;
  object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
  IPerPropertyBrowsing* browsing = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IPerPropertyBrowsing, reinterpret_cast<void**>(&browsing))))
    browsing->Release();
  IConnectionPointContainer* points = nullptr;
  object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&points));
  IConnectionPoint *property_point = nullptr, *event_point = nullptr;
  DWORD property_cookie = 0, event_cookie = 0;
  points->FindConnectionPoint(IID_IPropertyNotifySink, &property_point);
  property_point->Advise(static_cast<IOleClientSite*>(site), &property_cookie);
  points->FindConnectionPoint(kControlEvents, &event_point);
  event_point->Advise(static_cast<IOleClientSite*>(site), &event_cookie);
  points->Release();
  control->OnAmbientPropertyChange(DISPID_UNKNOWN);
  object->GetExtent(DVASPECT_CONTENT, &extent);

  VARIANT trap;
  trap.vt = VT_BOOL;
  trap.boolVal = VARIANT_TRUE;
  put(dispatch, kErrorTrap, trap);
  VARIANT timeout;
  timeout.vt = VT_I4;
  timeout.lVal = -1;
  put(dispatch, kTimeOut, timeout);
  VARIANT server = text("cn_iptcp:" + host + "[" + port + "]");
  put(dispatch, kMServer, server);
  VariantClear(&server);
  VARIANT error = get(dispatch, kErrorName);
  VariantClear(&error);
  VARIANT space = text(name_space);
  put(dispatch, kNameSpace, space);
  VariantClear(&space);

  IDispatch* vism = nullptr;
  object->QueryInterface(kDVisM, reinterpret_cast<void**>(&vism));
  for (const std::string& line : lines) {
    VARIANT argument = text(line);
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    vism->Invoke(kRunCode, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &exception, nullptr);
    VariantClear(&result);
    VariantClear(&argument);
  }
  std::string value;
  if (read_p1) {
    VARIANT p1 = get(dispatch, kValueP1);
    VARIANT converted;
    VariantInit(&converted);
    VariantChangeTypeEx(&converted, &p1, LOCALE_USER_DEFAULT, 0, VT_BSTR);
    value = to_ansi(converted.bstrVal);
    VariantClear(&converted);
    VariantClear(&p1);
  }

  VARIANT nothing;
  nothing.vt = VT_BSTR;
  nothing.bstrVal = nullptr;
  put(dispatch, kMServer, nothing);
  object->Close(OLECLOSE_NOSAVE);
  property_point->Unadvise(property_cookie);
  event_point->Unadvise(event_cookie);
  object->SetClientSite(nullptr);
  vism->Release();
  dispatch->Release();
  control->Release();
  persist->Release();
  property_point->Release();
  event_point->Release();
  object->Release();
  site->Release();
  CoUninitialize();
  return value;
}

}  // namespace ulvane::bench
