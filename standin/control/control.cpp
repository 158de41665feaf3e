#include "control.h"

#include <cwctype>

#include "common/utf8.h"
#include "guard.h"
#include "harness.h"
#include "ids.h"

using Microsoft::WRL::ComPtr;

namespace standin {
namespace {

struct Property {
  DISPID id;
  const wchar_t* name;
  VARTYPE type;
};

// Every property the real control offers, by dispatch ID, with its type.
constexpr Property kProperties[] = {
    {12, L"ErrorTrap", VT_BOOL}, {13, L"LogMask", VT_I4},          {14, L"Code", VT_BSTR},
    {15, L"Error", VT_I4},       {16, L"ErrorName", VT_BSTR},      {17, L"Interval", VT_I4},
    {18, L"NameSpace", VT_BSTR}, {19, L"TimeOut", VT_I4},          {21, L"ExecFlag", VT_I2},
    {23, L"FormName", VT_BSTR},  {24, L"ControlClasses", VT_BSTR}, {25, L"MServer", VT_BSTR},
};

constexpr DISPID kErrorTrap = 12, kError = 15, kErrorName = 16, kNameSpace = 18, kMServer = 25;

const Property* find_property(DISPID id) {
  for (const Property& property : kProperties)
    if (property.id == id) return &property;
  return nullptr;
}

std::string property_line(const char* verb, DISPID id) {
  std::string line = verb;
  line.append(" ").append(std::to_string(id)).append(" ");
  const Property* property = find_property(id);
  return line.append(property ? narrow(property->name) : id == kValue ? "P1" : "?");
}

const char* interface_name(REFIID riid) {
  if (riid == IID_IPersistStreamInit) return "IPersistStreamInit";
  if (riid == IID_IOleControl) return "IOleControl";
  if (riid == IID_IDispatch) return "IDispatch";
  if (riid == kDVisMIid) return "_DVisM";
  if (riid == IID_IPerPropertyBrowsing) return "IPerPropertyBrowsing";
  if (riid == IID_IConnectionPointContainer) return "IConnectionPointContainer";
  return nullptr;
}

HRESULT raise(HRESULT scode, const std::wstring& description, EXCEPINFO* exception, WORD wcode = 0) {
  if (exception) {
    *exception = EXCEPINFO{};
    exception->bstrSource = SysAllocString(L"Ulvane stand-in control");
    exception->bstrDescription = SysAllocStringLen(description.data(), static_cast<UINT>(description.size()));
    exception->scode = scode;
    exception->wCode = wcode;
  }
  return DISP_E_EXCEPTION;
}

HRESULT apply(const Outcome& outcome, EXCEPINFO* exception) {
  return outcome.exception ? raise(outcome.scode, outcome.description, exception, outcome.wcode)
                           : outcome.code;
}

bool same_name(const wchar_t* a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b)
    if (std::towupper(*a) != std::towupper(*b)) return false;
  return *a == *b;
}

}  // namespace

Control::Control(Faults faults)
    : faults_(std::move(faults)),
      property_notify_(this, faults_, IID_IPropertyNotifySink, "IPropertyNotifySink"),
      events_(this, faults_, kEventsIid, "events") {
  for (const Property& property : kProperties) {
    // Zero of the property's type: false, 0, or the empty text as a null BSTR.
    properties_[property.id].get()->vt = property.type;
  }
  // Counted last: a constructor that throws makes no instance.
  harness::log("create");
  harness::instance_made();
}

Control::~Control() {
  try {
    harness::log("release");
  } catch (...) {
    // A destructor cannot report it; the count below still goes down.
  }
  harness::instance_destroyed();
}

HRESULT Control::QueryInterface(REFIID requested, void** object) {
  const IID riid = aligned_copy(requested);
  return guarded([&]() -> HRESULT {
    if (!object) return E_POINTER;
    *object = nullptr;
    const char* name = interface_name(riid);
    std::string line = "QI ";
    if (name) {
      line.append(name);
      std::string target = "QI:";
      if (std::optional<Outcome> fault = faults_.on_call(target.append(name))) {
        harness::log_result(line, fault->code);
        return fault->code;
      }
    }
    if (riid == IID_IUnknown || riid == IID_IOleObject)
      *object = static_cast<IOleObject*>(this);
    else if (riid == IID_IPersistStreamInit || riid == IID_IPersist)
      *object = static_cast<IPersistStreamInit*>(this);
    else if (riid == IID_IOleControl)
      *object = static_cast<IOleControl*>(this);
    else if (riid == IID_IDispatch || riid == kDVisMIid)
      *object = static_cast<IDispatch*>(this);
    else if (riid == IID_IConnectionPointContainer)
      *object = static_cast<IConnectionPointContainer*>(this);
    if (!*object) {
      if (name) harness::log_result(line, E_NOINTERFACE);
      return E_NOINTERFACE;
    }
    if (name) harness::log(line);
    AddRef();
    return S_OK;
  });
}

ULONG Control::AddRef() {
  return ++references_;
}

ULONG Control::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT Control::step_fault(const std::string& target, const std::string& line) {
  if (std::optional<Outcome> fault = faults_.on_call(target)) {
    harness::log_result(line, fault->code);
    return fault->code;
  }
  harness::log(line);
  return S_OK;
}

HRESULT Control::SetClientSite(IOleClientSite* site) {
  return guarded([&]() -> HRESULT {
    if (HRESULT fault = step_fault("SetClientSite", site ? "SetClientSite site" : "SetClientSite null"))
      return fault;
    site_ = site;
    return S_OK;
  });
}

HRESULT Control::GetClientSite(IOleClientSite** site) {
  return guarded([&]() -> HRESULT {
    if (!site) return E_POINTER;
    harness::log("GetClientSite");
    *site = site_.Get();
    if (*site) (*site)->AddRef();
    return S_OK;
  });
}

HRESULT Control::Close(DWORD save_option) {
  return guarded([&]() -> HRESULT {
    std::string line = "Close ";
    return step_fault("Close", line.append(std::to_string(save_option)));
  });
}

HRESULT Control::SetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  extent_ = *size;
  return S_OK;
}

HRESULT Control::GetExtent(DWORD aspect, SIZEL* size) {
  return guarded([&]() -> HRESULT {
    std::string line = "GetExtent ";
    if (HRESULT fault = step_fault("GetExtent", line.append(std::to_string(aspect)))) return fault;
    if (!size) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *size = extent_;
    return S_OK;
  });
}

HRESULT Control::GetMiscStatus(DWORD aspect, DWORD* status) {
  return guarded([&]() -> HRESULT {
    std::string line = "GetMiscStatus ";
    if (HRESULT fault = step_fault("GetMiscStatus", line.append(std::to_string(aspect)))) return fault;
    if (!status) return E_POINTER;
    // Like the real control: invisible at run time, and wanting its site before anything else.
    *status = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME | OLEMISC_ACTIVATEWHENVISIBLE |
              OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
    return S_OK;
  });
}

HRESULT Control::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = kControlClsid;
  return S_OK;
}

HRESULT Control::InitNew() {
  return guarded([&]() -> HRESULT {
    if (HRESULT fault = step_fault("InitNew", "InitNew")) return fault;
    if (initialised_) return E_UNEXPECTED;
    initialised_ = true;
    return S_OK;
  });
}

HRESULT Control::OnAmbientPropertyChange(DISPID dispid) {
  return guarded([&]() -> HRESULT {
    std::string line = "OnAmbientPropertyChange ";
    return step_fault("OnAmbientPropertyChange", line.append(std::to_string(dispid)));
  });
}

HRESULT Control::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;  // no type library: hosts call by dispatch ID
  return S_OK;
}

HRESULT Control::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT Control::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return guarded([&]() -> HRESULT {
    if (!names || !ids) return E_POINTER;
    HRESULT result = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      if (i > 0) {
        result = DISP_E_UNKNOWNNAME;  // no member takes named arguments
        continue;
      }
      for (const Property& property : kProperties)
        if (same_name(names[i], property.name)) ids[i] = property.id;
      if (same_name(names[i], L"RunCode")) ids[i] = kRunCode;
      if (same_name(names[i], L"P1")) ids[i] = kValue;
      if (ids[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
    }
    return result;
  });
}

HRESULT Control::Invoke(DISPID dispid, REFIID requested, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  const IID riid = aligned_copy(requested);
  return guarded([&]() -> HRESULT {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!params) return E_POINTER;
    if (dispid == kRunCode) {
      if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
      return run_code(params, result, exception, arg_error);
    }
    if (!find_property(dispid) && dispid != kValue) return DISP_E_MEMBERNOTFOUND;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
      return put(dispid, params, exception, arg_error);
    if (flags & DISPATCH_PROPERTYGET) return get(dispid, params, result, exception);
    return DISP_E_MEMBERNOTFOUND;
  });
}

HRESULT Control::put(DISPID dispid, DISPPARAMS* params, EXCEPINFO* exception, UINT* arg_error) {
  std::string line = property_line("put", dispid);
  if (params->cArgs != 1 || params->cNamedArgs != 1 || !params->rgdispidNamedArgs ||
      params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
    HRESULT refused = params->cArgs != 1 ? DISP_E_BADPARAMCOUNT : DISP_E_PARAMNOTOPTIONAL;
    harness::log_result(line, refused);
    return refused;
  }
  line.append(" ").append(describe(params->rgvarg[0]));
  if (dispid == kValue) {
    harness::log_result(line, DISP_E_MEMBERNOTFOUND);  // read-only
    return DISP_E_MEMBERNOTFOUND;
  }
  Variant value;
  HRESULT changed = VariantChangeType(value.get(), &params->rgvarg[0], 0, find_property(dispid)->type);
  if (FAILED(changed)) {
    if (arg_error) *arg_error = 0;
    harness::log_result(line, DISP_E_TYPEMISMATCH);
    return DISP_E_TYPEMISMATCH;
  }
  std::string target = "put:";
  std::optional<Outcome> fault = faults_.on_call(target.append(std::to_string(dispid)));
  if (!fault && dispid == kMServer && value.as_text().empty()) fault = faults_.on_call("disconnect");
  if (fault) {
    harness::log_result(line, fault->code);
    return apply(*fault, exception);
  }
  harness::log(line);
  properties_[dispid] = value;
  fire_changed(dispid);
  return after_put(dispid, exception);
}

// What a put sets going: MServer connects or disconnects, NameSpace selects the namespace.
HRESULT Control::after_put(DISPID dispid, EXCEPINFO* exception) {
  if (dispid == kMServer) {
    clear_error();
    std::wstring address = properties_[kMServer].as_text();
    if (address.empty()) {
      link_.disconnect();
      return S_OK;
    }
    if (std::optional<std::string> failure = link_.connect(narrow(address)))
      return report(*failure, exception);
    return S_OK;
  }
  if (dispid == kNameSpace) {
    clear_error();
    bool answered_ok = false;
    return ask("ns", narrow(properties_[kNameSpace].as_text()), exception, answered_ok);
  }
  return S_OK;
}

// ErrorTrap traps what the server reports and the state of not being connected. A
// connection that breaks during a request is raised whatever ErrorTrap says: nobody
// knows whether the server ran the request, and a host that reads no Error after a
// line would otherwise take it for done.
HRESULT Control::ask(std::string_view verb, const std::string& payload, EXCEPINFO* exception,
                     bool& answered_ok) {
  answered_ok = false;
  if (!link_.connected()) return report("not connected to a server", exception);
  std::optional<Answer> answer = link_.request(verb, payload);
  if (!answer) return report("the connection to the server was lost", exception, Trap::Never);
  take_p1(*answer);
  if (!answer->ok) return report(answer->error, exception);
  answered_ok = true;
  return S_OK;
}

HRESULT Control::get(DISPID dispid, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception) {
  std::string line = property_line("get", dispid);
  if (params->cArgs != 0 || !result) {
    HRESULT refused = params->cArgs != 0 ? DISP_E_BADPARAMCOUNT : E_POINTER;
    harness::log_result(line, refused);
    return refused;
  }
  VariantInit(result);
  std::string target = "get:";
  if (std::optional<Outcome> fault = faults_.on_call(target.append(std::to_string(dispid)))) {
    harness::log_result(line, fault->code);
    return apply(*fault, exception);
  }
  Variant value = dispid == kValue ? p1_ : properties_[dispid];
  if (dispid == kValue && faults_.p1_null()) value.reset()->vt = VT_NULL;
  VariantCopy(result, value.get());
  harness::log(line.append(" -> ").append(describe(*result)));
  return S_OK;
}

HRESULT Control::run_code(DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  std::string line = "RunCode";
  if (params->cArgs != 1 || params->cNamedArgs != 0) {
    HRESULT refused = params->cNamedArgs != 0 ? DISP_E_NONAMEDARGS : DISP_E_BADPARAMCOUNT;
    harness::log_result(line, refused);
    return refused;
  }
  Variant code;
  if (FAILED(VariantChangeType(code.get(), &params->rgvarg[0], 0, VT_BSTR))) {
    if (arg_error) *arg_error = 0;
    harness::log_result(line.append(" ").append(describe(params->rgvarg[0])), DISP_E_TYPEMISMATCH);
    return DISP_E_TYPEMISMATCH;
  }
  std::string text = narrow(code.as_text());
  line.append(" \"").append(text).append("\"");
  if (result) VariantInit(result);
  if (std::optional<Outcome> fault = faults_.on_call("RunCode")) {
    harness::log_result(line, fault->code);
    return apply(*fault, exception);
  }
  harness::log(line);
  clear_error();
  bool answered_ok = false;
  HRESULT outcome = ask("run", text, exception, answered_ok);
  if (answered_ok) fire_event(kOnExecuted);
  return outcome;
}

HRESULT Control::report(const std::string& error, EXCEPINFO* exception, Trap trap) {
  properties_[kError] = Variant::integer(1);
  properties_[kErrorName] = Variant::text(widen(error));
  fire_event(kOnError);
  if (trap == Trap::ByErrorTrap && properties_[kErrorTrap].get()->boolVal != VARIANT_FALSE) return S_OK;
  return raise(E_FAIL, widen(error), exception);
}

void Control::clear_error() {
  properties_[kError] = Variant::integer(0);
  properties_[kErrorName] = Variant::text(L"");
}

// Only what the server said counts: a lost connection leaves P1 as it was.
void Control::take_p1(const Answer& answer) {
  VARIANT* value = p1_.reset();
  switch (answer.p1_kind) {
    case ValueKind::String:
      p1_ = Variant::text(widen(answer.p1));
      break;
    case ValueKind::Integer:
      value->vt = VT_I4;
      value->lVal = std::stol(answer.p1);
      break;
    case ValueKind::Decimal:
      value->vt = VT_R8;
      value->dblVal = std::strtod(answer.p1.c_str(), nullptr);
      break;
    case ValueKind::Undefined:
      break;
  }
}

void Control::fire_event(DISPID dispid) {
  DISPPARAMS none{};
  for (const ComPtr<IUnknown>& sink : events_.sinks())
    static_cast<IDispatch*>(sink.Get())
        ->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
}

void Control::fire_changed(DISPID dispid) {
  for (const ComPtr<IUnknown>& sink : property_notify_.sinks())
    static_cast<IPropertyNotifySink*>(sink.Get())->OnChanged(dispid);
}

HRESULT Control::EnumConnectionPoints(IEnumConnectionPoints** points) {
  // Hosts ask for the two points by interface; none enumerates them.
  if (points) *points = nullptr;
  return E_NOTIMPL;
}

HRESULT Control::FindConnectionPoint(REFIID requested, IConnectionPoint** point) {
  const IID riid = aligned_copy(requested);
  return guarded([&]() -> HRESULT {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (riid == IID_IPropertyNotifySink)
      *point = &property_notify_;
    else if (riid == kEventsIid)
      *point = &events_;
    else
      return CONNECT_E_NOCONNECTION;
    (*point)->AddRef();
    return S_OK;
  });
}

}  // namespace standin
