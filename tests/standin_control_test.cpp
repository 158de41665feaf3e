// The stand-in control through COM, hosted the way the library hosts the real one:
// registration, the embedding handshake, properties, RunCode, events, faults and counts.
#include "standin_control.h"

#include <gtest/gtest.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "ids.h"  // the stand-in's own identifiers, which are the real control's
#include "support/control_log.h"
#include "support/standin_server.h"
#include "support/text.h"

using Microsoft::WRL::ComPtr;
using namespace ulvane::test;

namespace {

const CLSID& kClsid = standin::kControlClsid;
const IID& kDVisM = standin::kDVisMIid;
const IID& kEvents = standin::kEventsIid;

enum : DISPID {
  kP1 = 1,
  kErrorTrap = 12,
  kError = 15,
  kErrorName = 16,
  kNameSpace = 18,
  kTimeOut = 19,
  kExecFlag = 21,
  kMServer = 25,
  kRunCode = 26
};

// An owned VARIANT.
struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  Var(const Var&) = delete;
  ~Var() { VariantClear(&v); }
  static std::unique_ptr<Var> text(const std::wstring& text) {
    auto var = std::make_unique<Var>();
    var->v.vt = VT_BSTR;
    var->v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return var;
  }
};

VARIANT null_text() {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = nullptr;
  return v;
}

VARIANT integer(LONG value) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT flag(VARIANT_BOOL value) {
  VARIANT v;
  v.vt = VT_BOOL;
  v.boolVal = value;
  return v;
}

struct ExceptionInfo {
  EXCEPINFO info{};
  ~ExceptionInfo() {
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }
  std::string description() const {
    return info.bstrDescription ? standin::narrow(info.bstrDescription) : "";
  }
};

HRESULT put(IDispatch* dispatch, DISPID id, VARIANT value, EXCEPINFO* exception = nullptr) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  return dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, exception, nullptr);
}

HRESULT put_text(IDispatch* dispatch, DISPID id, const std::string& utf8, EXCEPINFO* exception = nullptr) {
  auto value = Var::text(standin::widen(utf8));
  return put(dispatch, id, value->v, exception);
}

HRESULT get(IDispatch* dispatch, DISPID id, Var& result, EXCEPINFO* exception = nullptr) {
  DISPPARAMS none{};
  return dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result.v, exception, nullptr);
}

// A property read as text: the type, then the value ("VT_BSTR:abc", "VT_I4:5").
std::string read(IDispatch* dispatch, DISPID id) {
  Var value;
  HRESULT result = get(dispatch, id, value);
  if (FAILED(result)) return cat("failed ", std::to_string(result));
  std::string type = value.v.vt == VT_BSTR    ? "VT_BSTR"
                     : value.v.vt == VT_I4    ? "VT_I4"
                     : value.v.vt == VT_R8    ? "VT_R8"
                     : value.v.vt == VT_BOOL  ? "VT_BOOL"
                     : value.v.vt == VT_I2    ? "VT_I2"
                     : value.v.vt == VT_EMPTY ? "VT_EMPTY"
                     : value.v.vt == VT_NULL  ? "VT_NULL"
                                              : "VT_other";
  Var text;
  if (value.v.vt == VT_EMPTY || value.v.vt == VT_NULL) return type;
  VariantChangeTypeEx(&text.v, &value.v, MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT),
                      0, VT_BSTR);
  return cat(type, ":", text.v.bstrVal ? standin::narrow(text.v.bstrVal) : "");
}

HRESULT run(IDispatch* dispatch, const std::string& line, EXCEPINFO* exception = nullptr) {
  auto code = Var::text(standin::widen(line));
  DISPPARAMS params{&code->v, nullptr, 1, 0};
  Var ignored;
  return dispatch->Invoke(kRunCode, IID_NULL, 0, DISPATCH_METHOD, &params, &ignored.v, exception, nullptr);
}

// A client site that offers nothing: the control only keeps it.
class Site : public IOleClientSite {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = riid == IID_IUnknown || riid == IID_IOleClientSite ? this : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer**) override { return E_NOINTERFACE; }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
};

// Both sinks in one object; records what the control fires.
class Sinks : public IPropertyNotifySink, public IDispatch {
public:
  std::vector<std::string> seen;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IPropertyNotifySink)
      *object = static_cast<IPropertyNotifySink*>(this);
    else if (riid == IID_IDispatch || riid == kEvents)
      *object = static_cast<IDispatch*>(this);
    else
      *object = nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override {
    seen.push_back(cat("changed ", std::to_string(id)));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    seen.push_back(cat(id == 1   ? "OnExecuted"
                       : id == 2 ? "OnError"
                                 : "event?",
                       "/", std::to_string(params->cArgs)));
    return S_OK;
  }
};

// One instance hosted as the library hosts the control, torn down in the destructor.
class Hosted {
public:
  Hosted() {
    check(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IOleObject,
                           reinterpret_cast<void**>(object.GetAddressOf())));
    DWORD status = 0;
    check(object->GetMiscStatus(DVASPECT_CONTENT, &status));
    if (status & OLEMISC_SETCLIENTSITEFIRST) check(object->SetClientSite(&site));
    check(object.As(&persist));
    SIZEL extent;
    check(object->GetExtent(DVASPECT_CONTENT, &extent));
    check(persist->InitNew());
    check(object.As(&control));
    check(object.As(&dispatch));
    ComPtr<IConnectionPointContainer> container;
    check(object.As(&container));
    for (int i = 0; i < 2; ++i) {
      check(container->FindConnectionPoint(i == 0 ? IID_IPropertyNotifySink : kEvents, &points[i]));
      check(points[i]->Advise(static_cast<IPropertyNotifySink*>(&sinks), &cookies[i]));
    }
    control->OnAmbientPropertyChange(DISPID_UNKNOWN);
  }
  ~Hosted() {
    object->Close(OLECLOSE_NOSAVE);
    for (int i = 0; i < 2; ++i)
      if (points[i]) points[i]->Unadvise(cookies[i]);
    object->SetClientSite(nullptr);
  }

  // Switches ErrorTrap on and connects, as the library does first.
  void connect(const std::string& address) {
    check(put(dispatch.Get(), kErrorTrap, flag(VARIANT_TRUE)));
    check(put(dispatch.Get(), kTimeOut, integer(-1)));
    check(put_text(dispatch.Get(), kMServer, address));
  }

  Site site;
  Sinks sinks;
  ComPtr<IOleObject> object;
  ComPtr<IPersistStreamInit> persist;
  ComPtr<IOleControl> control;
  ComPtr<IDispatch> dispatch;
  ComPtr<IConnectionPoint> points[2];
  DWORD cookies[2] = {};

private:
  static void check(HRESULT result) {
    if (result != S_OK) throw std::runtime_error(cat("hosting step failed: ", std::to_string(result)));
  }
};

class StandinControl : public testing::Test {
protected:
  static void SetUpTestSuite() {
    CoInitialize(nullptr);
    server_ = new StandinServer;
  }
  static void TearDownTestSuite() {
    delete server_;
    CoUninitialize();
  }
  void SetUp() override {
    StandinSetFaults("");
    StandinResetLog();
  }
  void TearDown() override {
    StandinSetFaults("");
    EXPECT_EQ(StandinLiveInstances(), 0);
    EXPECT_EQ(StandinConnectedSinks(), 0);
  }
  static StandinServer& server() { return *server_; }

private:
  static StandinServer* server_;
};

StandinServer* StandinControl::server_ = nullptr;

}  // namespace

namespace {

// The server path and threading model registered for the class under root, or "" for none.
std::wstring registered(HKEY root, const wchar_t* value) {
  wchar_t clsid[40];
  StringFromGUID2(kClsid, clsid, 40);
  std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
  wchar_t text[MAX_PATH] = L"";
  DWORD size = sizeof text;
  RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size);
  return text;
}

// HKEY_CLASSES_ROOT of this process redirected to a scratch key, so registering
// does not disturb the prefix's real registration.
class ScratchClassesRoot {
public:
  ScratchClassesRoot() {
    RegCreateKeyExW(HKEY_CURRENT_USER, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, key_);
  }
  ~ScratchClassesRoot() {
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegDeleteTreeW(key_, nullptr);
    RegCloseKey(key_);
    RegDeleteKeyW(HKEY_CURRENT_USER, kPath);
  }
  HKEY get() const { return key_; }

private:
  static constexpr const wchar_t* kPath = L"Software\\UlvaneStandinRegistrationTest";
  HKEY key_ = nullptr;
};

}  // namespace

TEST_F(StandinControl, RegistersAsAnApartmentInProcessServerAndUnregisters) {
  HMODULE module = GetModuleHandleW(L"standin-control.dll");
  wchar_t loaded[MAX_PATH];
  GetModuleFileNameW(module, loaded, MAX_PATH);
  // The prefix's registration, made by regsvr32 before the suites ran, names this very DLL.
  std::wstring path = registered(HKEY_CLASSES_ROOT, nullptr);
  EXPECT_EQ(CompareStringOrdinal(path.c_str(), -1, loaded, -1, TRUE), CSTR_EQUAL)
      << standin::narrow(path) << " vs " << standin::narrow(loaded);
  EXPECT_EQ(registered(HKEY_CLASSES_ROOT, L"ThreadingModel"), L"Apartment");

  auto entry = [&](const char* name) {
    return reinterpret_cast<HRESULT(__stdcall*)()>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  };
  ScratchClassesRoot scratch;
  ASSERT_EQ(entry("DllRegisterServer")(), S_OK);
  EXPECT_EQ(registered(scratch.get(), nullptr), loaded);
  EXPECT_EQ(registered(scratch.get(), L"ThreadingModel"), L"Apartment");
  ASSERT_EQ(entry("DllUnregisterServer")(), S_OK);
  EXPECT_EQ(registered(scratch.get(), nullptr), L"");
  EXPECT_EQ(entry("DllUnregisterServer")(), S_OK);  // nothing left to remove is not a failure
}

TEST_F(StandinControl, RecordsTheWholeHostingSequenceAndReleasesEverything) {
  {
    Hosted hosted;
    EXPECT_EQ(StandinLiveInstances(), 1);
    EXPECT_EQ(StandinConnectedSinks(), 2);
    ComPtr<IPerPropertyBrowsing> browsing;
    EXPECT_EQ(hosted.object.As(&browsing), E_NOINTERFACE);
    hosted.connect(server().address());
    EXPECT_EQ(read(hosted.dispatch.Get(), kErrorName), "VT_BSTR:");
    EXPECT_EQ(read(hosted.dispatch.Get(), kError), "VT_I4:0");
    EXPECT_EQ(put_text(hosted.dispatch.Get(), kNameSpace, "ULV"), S_OK);
    ComPtr<IDispatch> dvism;
    ASSERT_EQ(hosted.object->QueryInterface(kDVisM, reinterpret_cast<void**>(dvism.GetAddressOf())), S_OK);
    EXPECT_EQ(run(dvism.Get(), "S P1=$NAMESPACE"), S_OK);
    EXPECT_EQ(read(hosted.dispatch.Get(), kP1), "VT_BSTR:ULV");
    EXPECT_EQ(put(hosted.dispatch.Get(), kMServer, null_text()), S_OK);
    EXPECT_EQ(run(dvism.Get(), "S P1=1"), S_OK);  // disconnected: trapped, not raised
    EXPECT_EQ(read(hosted.dispatch.Get(), kErrorName), "VT_BSTR:not connected to a server");
    EXPECT_EQ(hosted.sinks.seen,
              (std::vector<std::string>{"changed 12", "changed 19", "changed 25", "changed 18",
                                        "OnExecuted/0", "changed 25", "OnError/0"}));
  }
  std::string address = server().address();
  EXPECT_EQ(StandinLog(), cat(kHostingLog,
                              "QI IConnectionPointContainer\n"
                              "Advise IPropertyNotifySink 1\n"
                              "Advise events 1\n"
                              "OnAmbientPropertyChange -1\n"
                              "QI IPerPropertyBrowsing -> 0x80004002\n"
                              "put 12 ErrorTrap VT_BOOL -1\n"
                              "put 19 TimeOut VT_I4 -1\n"
                              "put 25 MServer VT_BSTR \"",
                              address,
                              "\"\n"
                              "get 16 ErrorName -> VT_BSTR \"\"\n"
                              "get 15 Error -> VT_I4 0\n"
                              "put 18 NameSpace VT_BSTR \"ULV\"\n"
                              "QI _DVisM\n"
                              "RunCode \"S P1=$NAMESPACE\"\n"
                              "get 1 P1 -> VT_BSTR \"ULV\"\n"
                              "put 25 MServer VT_BSTR null\n"
                              "RunCode \"S P1=1\"\n"
                              "get 16 ErrorName -> VT_BSTR \"not connected to a server\"\n"
                              "Close 1\n"
                              "Unadvise IPropertyNotifySink 1\n"
                              "Unadvise events 1\n"
                              "SetClientSite null\n"
                              "release\n"));
}

TEST_F(StandinControl, AFailedConnectionNamesTheAddressAndTheReason) {
  const ClosedPort closed;
  std::string refused = cat("cn_iptcp:127.0.0.1[", closed.text(), "]");
  struct Row {
    std::string address;
    std::string error;
  };
  const Row rows[] = {
      {refused, cat("cannot connect to ", refused, ": connection refused")},
      {"cn_iptcp:127.0.0.1[]", "cannot connect to cn_iptcp:127.0.0.1[]: host or port missing"},
      {"tcp:127.0.0.1[1972]",
       "cannot connect to tcp:127.0.0.1[1972]: not an address of the form cn_iptcp:host[port]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    Hosted hosted;
    hosted.connect(row.address);
    EXPECT_EQ(read(hosted.dispatch.Get(), kErrorName), cat("VT_BSTR:", row.error));
    EXPECT_EQ(read(hosted.dispatch.Get(), kError), "VT_I4:1");
    EXPECT_EQ(hosted.sinks.seen.back(), "OnError/0");

    // Without ErrorTrap the same failure is raised, its text as the description.
    EXPECT_EQ(put(hosted.dispatch.Get(), kErrorTrap, flag(VARIANT_FALSE)), S_OK);
    ExceptionInfo raised;
    EXPECT_EQ(put_text(hosted.dispatch.Get(), kMServer, row.address, &raised.info), DISP_E_EXCEPTION);
    EXPECT_EQ(raised.description(), row.error);
    EXPECT_EQ(put(hosted.dispatch.Get(), kMServer, null_text()), S_OK);  // nothing to disconnect is fine
  }
}

TEST_F(StandinControl, ServerErrorsAreTrappedOrRaised) {
  Hosted hosted;
  hosted.connect(server().address());
  IDispatch* control = hosted.dispatch.Get();
  EXPECT_EQ(put_text(control, kNameSpace, "NOSUCH"), S_OK);
  EXPECT_EQ(read(control, kErrorName), "VT_BSTR:<NAMESPACE>");
  EXPECT_EQ(run(control, "S P1=1"), S_OK);  // a good line clears the error
  EXPECT_EQ(read(control, kErrorName), "VT_BSTR:");
  EXPECT_EQ(read(control, kError), "VT_I4:0");
  EXPECT_EQ(run(control, "W 1"), S_OK);
  EXPECT_EQ(read(control, kErrorName), "VT_BSTR:<SYNTAX>");
  EXPECT_EQ(read(control, kError), "VT_I4:1");
  EXPECT_EQ(read(control, kP1), "VT_I4:1");

  EXPECT_EQ(put(control, kErrorTrap, flag(VARIANT_FALSE)), S_OK);
  ExceptionInfo raised;
  EXPECT_EQ(run(control, "S P1=1/0", &raised.info), DISP_E_EXCEPTION);
  EXPECT_EQ(raised.description(), "<DIVIDE>");
  EXPECT_EQ(raised.info.scode, E_FAIL);
  ExceptionInfo namespace_raised;
  EXPECT_EQ(put_text(control, kNameSpace, "NOSUCH", &namespace_raised.info), DISP_E_EXCEPTION);
  EXPECT_EQ(namespace_raised.description(), "<NAMESPACE>");
  EXPECT_EQ(std::count(hosted.sinks.seen.begin(), hosted.sinks.seen.end(), "OnError/0"), 4);
}

TEST_F(StandinControl, ALostConnectionIsRaisedEvenWithErrorTrapOn) {
  StandinServer::Options options;
  options.drop_on = "DROP";
  StandinServer dropping(options);
  Hosted hosted;
  hosted.connect(dropping.address());
  IDispatch* control = hosted.dispatch.Get();
  ASSERT_EQ(run(control, "S P1=6*7"), S_OK);
  ExceptionInfo raised;
  EXPECT_EQ(run(control, "S P1=\"DROP\"", &raised.info), DISP_E_EXCEPTION);
  EXPECT_EQ(raised.description(), "the connection to the server was lost");
  EXPECT_EQ(raised.info.scode, E_FAIL);
  EXPECT_EQ(read(control, kErrorName), "VT_BSTR:the connection to the server was lost");
  EXPECT_EQ(read(control, kError), "VT_I4:1");
  EXPECT_EQ(read(control, kP1), "VT_I4:42");  // what the server last said
  EXPECT_EQ(run(control, "S P1=1"), S_OK);    // from then on not connected, which ErrorTrap traps
  EXPECT_EQ(read(control, kErrorName), "VT_BSTR:not connected to a server");
  EXPECT_EQ(put(control, kMServer, null_text()), S_OK);
  EXPECT_EQ(hosted.sinks.seen,
            (std::vector<std::string>{"changed 12", "changed 19", "changed 25", "OnExecuted/0", "OnError/0",
                                      "OnError/0", "changed 25"}));
}

TEST_F(StandinControl, P1HoldsTheServersValueByType) {
  Hosted hosted;
  hosted.connect(server().address());
  IDispatch* control = hosted.dispatch.Get();
  EXPECT_EQ(read(control, kP1), "VT_EMPTY");  // undefined until a line sets it
  struct Row {
    const char* line;
    const char* value;
  };
  const Row rows[] = {
      {"S P1=\"a \"\"b\"\"\"", "VT_BSTR:a \"b\""},
      {"S P1=\"\"", "VT_BSTR:"},
      {"S P1=6*7", "VT_I4:42"},
      {"S P1=-2147483647-1", "VT_I4:-2147483648"},
      {"S P1=1/4", "VT_R8:0.25"},
      {"S P1=2147483647+1", "VT_R8:2147483648"},
      {"S P1=\"x\"_5", "VT_BSTR:x5"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(run(control, row.line), S_OK);
    EXPECT_EQ(read(control, kP1), row.value);
  }
  Hosted fresh;  // a new connection: P1 is undefined again on the server
  fresh.connect(server().address());
  EXPECT_EQ(run(fresh.dispatch.Get(), "S P1=$ZV"), S_OK);
  EXPECT_EQ(run(fresh.dispatch.Get(), "W"), S_OK);
  EXPECT_EQ(read(fresh.dispatch.Get(), kP1), "VT_BSTR:Ulvane stand-in server 1.0");
}

TEST_F(StandinControl, SendsLinesAsUtf8AndLoadsRoutinesIntoTheStore) {
  StandinServer own;  // its own journal, so its bytes are exactly this test's
  std::string path = own.write_file("r\xC3\xA9sum\xC3\xA9.mac", "RESUME\r\n Q\r\n");
  {
    Hosted hosted;
    hosted.connect(own.address());
    IDispatch* control = hosted.dispatch.Get();
    EXPECT_EQ(put_text(control, kNameSpace, "ULV"), S_OK);
    EXPECT_EQ(run(control,
                  "S P1=\"Gr\xC3\xBC\xC3\x9F"
                  "e \xE2\x82\xAC\""),
              S_OK);  // "Grüße €"
    EXPECT_EQ(read(control, kP1),
              "VT_BSTR:Gr\xC3\xBC\xC3\x9F"
              "e \xE2\x82\xAC");
    EXPECT_EQ(run(control, cat("S F=\"", path, "\" O F U F ZL  ZS RESUME C F")), S_OK);
    EXPECT_EQ(read(control, kErrorName), "VT_BSTR:");
    EXPECT_EQ(run(control, "S P1=$D(^ROUTINE(\"RESUME\"))"), S_OK);
    EXPECT_EQ(read(control, kP1), "VT_I4:1");
  }
  EXPECT_EQ(own.routine("ULV", "RESUME"), "RESUME\r\n Q\r\n");
  EXPECT_EQ(own.journal(), cat("ULV\tS P1=\"Gr\xC3\xBC\xC3\x9F"
                               "e \xE2\x82\xAC\"\n",
                               "ULV\tS F=\"", path, "\" O F U F ZL  ZS RESUME C F\n",
                               "ULV\tS P1=$D(^ROUTINE(\"RESUME\"))\n"));
}

TEST_F(StandinControl, PropertiesKeepTheirTypes) {
  Hosted hosted;
  IDispatch* control = hosted.dispatch.Get();
  auto abc = Var::text(L"abc");
  auto five = Var::text(L"5");
  struct Row {
    DISPID id;
    VARIANT value;
    HRESULT result;
    const char* stored;
  };
  const Row rows[] = {
      {kErrorTrap, integer(1), S_OK, "VT_BOOL:-1"},
      {kTimeOut, five->v, S_OK, "VT_I4:5"},
      {kTimeOut, abc->v, DISP_E_TYPEMISMATCH, "VT_I4:5"},
      {kExecFlag, integer(7), S_OK, "VT_I2:7"},
      {kExecFlag, integer(100000), DISP_E_TYPEMISMATCH, "VT_I2:7"},
      {kNameSpace, integer(12), S_OK, "VT_BSTR:12"},  // no server: the error is trapped
      {kP1, integer(1), DISP_E_MEMBERNOTFOUND, "VT_EMPTY"},
      {99, integer(1), DISP_E_MEMBERNOTFOUND, "failed -2147352573"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    EXPECT_EQ(put(control, row.id, row.value), row.result);
    EXPECT_EQ(read(control, row.id), row.stored);
  }
  // A put must name its argument as the property-put argument.
  VARIANT value = integer(1);
  DISPPARAMS positional{&value, nullptr, 1, 0};
  EXPECT_EQ(
      control->Invoke(kTimeOut, IID_NULL, 0, DISPATCH_PROPERTYPUT, &positional, nullptr, nullptr, nullptr),
      DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(control->Invoke(kTimeOut, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &positional, nullptr, nullptr,
                            nullptr),
            DISP_E_UNKNOWNINTERFACE);
}

namespace {

// An instance made while faults are set, with what the calls on it use. Its
// connection and site are given back whatever the call did.
struct Made {
  Site site;
  Sinks sinks;
  ComPtr<IOleObject> object;
  ComPtr<IDispatch> dispatch;
  ComPtr<IConnectionPoint> point;  // the events' connection point
  DWORD cookie = 0;
  ComPtr<IUnknown> queried;
  ExceptionInfo raised;

  ~Made() {
    if (cookie) point->Unadvise(cookie);
    if (object) object->SetClientSite(nullptr);
  }
  HRESULT query(const IID& iid) {
    return object->QueryInterface(iid, reinterpret_cast<void**>(queried.ReleaseAndGetAddressOf()));
  }
};

// The call a fault is set on: its result.
using FaultedCall = std::function<HRESULT(Made&)>;

FaultedCall query(const IID& iid) {
  return [iid](Made& made) { return made.query(iid); };
}

}  // namespace

TEST_F(StandinControl, FaultsApplyToTheInstancesMadeNext) {
  const FaultedCall init_new = [](Made& made) {
    ComPtr<IPersistStreamInit> persist;
    EXPECT_EQ(made.object.As(&persist), S_OK);
    return persist ? persist->InitNew() : E_NOINTERFACE;
  };
  const FaultedCall advise_events = [](Made& made) {
    return made.point->Advise(static_cast<IPropertyNotifySink*>(&made.sinks), &made.cookie);
  };
  const FaultedCall trap_errors = [](Made& made) {
    return put(made.dispatch.Get(), kErrorTrap, flag(VARIANT_TRUE));
  };
  const FaultedCall run_line = [](Made& made) {
    EXPECT_EQ(put(made.dispatch.Get(), kErrorTrap, flag(VARIANT_TRUE)), S_OK);
    EXPECT_EQ(put_text(made.dispatch.Get(), kMServer, server().address()), S_OK);
    HRESULT result = run(made.dispatch.Get(), "S P1=1", &made.raised.info);
    EXPECT_EQ(read(made.dispatch.Get(), kP1), "VT_EMPTY");  // the line was not sent
    return result;
  };
  struct Row {
    const char* faults;
    FaultedCall call;  // null: creating the instance is what fails
    HRESULT result;
    const char* description;  // of the exception, when raised
  };
  const Row rows[] = {
      {"create=0x80040154", nullptr, REGDB_E_CLASSNOTREG, ""},
      {"GetMiscStatus=0x80004005",
       [](Made& made) {
         DWORD status;
         return made.object->GetMiscStatus(DVASPECT_CONTENT, &status);
       },
       E_FAIL, ""},
      {"SetClientSite=0x8000FFFF", [](Made& made) { return made.object->SetClientSite(&made.site); },
       E_UNEXPECTED, ""},
      {"QI:IPersistStreamInit=0x80004002", query(IID_IPersistStreamInit), E_NOINTERFACE, ""},
      {"GetExtent=0x80004005",
       [](Made& made) {
         SIZEL extent;
         return made.object->GetExtent(DVASPECT_CONTENT, &extent);
       },
       E_FAIL, ""},
      {"InitNew=0x80004005", init_new, E_FAIL, ""},
      {"QI:IOleControl=0x80004002", query(IID_IOleControl), E_NOINTERFACE, ""},
      {"QI:IDispatch=0x80004002", query(IID_IDispatch), E_NOINTERFACE, ""},
      {"QI:_DVisM=0x80004002",
       [](Made& made) {
         HRESULT result = made.query(kDVisM);
         EXPECT_EQ(made.query(IID_IDispatch), S_OK);  // the plain IDispatch is still there
         return result;
       },
       E_NOINTERFACE, ""},
      {"Advise:events=0x80040202", advise_events, CONNECT_E_CANNOTCONNECT, ""},
      {"put:12=0x80004005", trap_errors, E_FAIL, ""},
      {"put:19=1",
       [](Made& made) {
         HRESULT result = put(made.dispatch.Get(), kTimeOut, integer(-1));
         EXPECT_EQ(read(made.dispatch.Get(), kTimeOut), "VT_I4:0");  // a failing put stores nothing
         return result;
       },
       S_FALSE, ""},
      {"get:16=exception:0x80004005:No name.",
       [](Made& made) {
         Var value;
         return get(made.dispatch.Get(), kErrorName, value, &made.raised.info);
       },
       DISP_E_EXCEPTION, "No name."},
      {"RunCode=exception:0x80004005:Bad line.", run_line, DISP_E_EXCEPTION, "Bad line."},
      {"RunCode=exception:0x80004005:", run_line, DISP_E_EXCEPTION, ""},
      {"RunCode=1", run_line, S_FALSE, ""},
      {" disconnect = 0x80004005 ; p1=null ",
       [](Made& made) {
         EXPECT_EQ(put_text(made.dispatch.Get(), kMServer, server().address()), S_OK);
         EXPECT_EQ(run(made.dispatch.Get(), "S P1=1"), S_OK);
         EXPECT_EQ(read(made.dispatch.Get(), kP1), "VT_NULL");
         return put(made.dispatch.Get(), kMServer, null_text());
       },
       E_FAIL, ""},
      // A C++ exception inside an entry point comes out as a result, never as itself.
      {"create=throw:bad_alloc", nullptr, E_OUTOFMEMORY, ""},
      {"InitNew=throw:runtime_error", init_new, E_UNEXPECTED, ""},
      {"QI:IOleControl=throw:bad_alloc", query(IID_IOleControl), E_OUTOFMEMORY, ""},
      {"Advise:events=throw:runtime_error", advise_events, E_UNEXPECTED, ""},
      {"put:12=throw:bad_alloc", trap_errors, E_OUTOFMEMORY, ""},
      {"RunCode=throw:bad_alloc", run_line, E_OUTOFMEMORY, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.faults);
    ASSERT_EQ(StandinSetFaults(row.faults), 1);
    Made made;
    HRESULT created = CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                       reinterpret_cast<void**>(made.object.GetAddressOf()));
    if (!row.call) {
      EXPECT_EQ(created, row.result);
      EXPECT_EQ(StandinLiveInstances(), 0);
      continue;
    }
    ASSERT_EQ(created, S_OK);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(made.object.As(&container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(kEvents, &made.point), S_OK);
    // Only a fault on IDispatch itself keeps it from being found.
    if (!std::string_view(row.faults).starts_with("QI:IDispatch")) {
      ASSERT_EQ(made.object.As(&made.dispatch), S_OK);
    }
    HRESULT result = row.call(made);
    EXPECT_EQ(result, row.result);
    if (result == DISP_E_EXCEPTION) {
      EXPECT_EQ(made.raised.description(), row.description);
      EXPECT_EQ(made.raised.info.scode, E_FAIL);
    }
  }
  EXPECT_NE(std::string(StandinLog()).find("create -> 0x80040154\n"), std::string::npos);
}

TEST_F(StandinControl, FaultsReachOnlyTheCallsTheyName) {
  ASSERT_EQ(StandinSetFaults("RunCode#2=0x80004005"), 1);
  Hosted counted;
  counted.connect(server().address());
  ASSERT_EQ(StandinSetFaults(""), 1);
  Hosted clean;  // made after the faults were cleared
  clean.connect(server().address());
  for (IDispatch* control : {counted.dispatch.Get(), clean.dispatch.Get()}) {
    EXPECT_EQ(run(control, "S P1=1"), S_OK);
    EXPECT_EQ(run(control, "S P1=2"), control == counted.dispatch.Get() ? E_FAIL : S_OK);
    EXPECT_EQ(run(control, "S P1=3"), S_OK);
    EXPECT_EQ(read(control, kP1), "VT_I4:3");
  }
}

TEST_F(StandinControl, RefusesFaultSpecsItDoesNotUnderstand) {
  ASSERT_EQ(StandinSetFaults("InitNew=0x80004005"), 1);
  for (const char* faults :
       {"bogus=1", "InitNew", "put:x=1", "put:=1", "InitNew=exception:1:text", "RunCode#0=1",
        "RunCode=exception:1", "create#1=1", "InitNew=-1", "p1=nil",
        "RunCode=exception:wCode=0:", "RunCode=exception:wCode=65536:", "InitNew=throw:other"}) {
    SCOPED_TRACE(faults);
    EXPECT_EQ(StandinSetFaults(faults), 0);
  }
  // Still the last good faults.
  ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistStreamInit,
                             reinterpret_cast<void**>(persist.GetAddressOf())),
            S_OK);
  EXPECT_EQ(persist->InitNew(), E_FAIL);
  EXPECT_EQ(StandinSetFaults(nullptr), 1);
}

// An exception record may carry the control's own code in wCode, with scode zero.
TEST_F(StandinControl, RaisesAnExceptionWithItsCodeInWCode) {
  ASSERT_EQ(StandinSetFaults("RunCode=exception:wCode=1234:Coded"), 1);
  Hosted hosted;
  hosted.connect(server().address());
  ExceptionInfo raised;
  EXPECT_EQ(run(hosted.dispatch.Get(), "S P1=1", &raised.info), DISP_E_EXCEPTION);
  EXPECT_EQ(raised.info.wCode, 1234);
  EXPECT_EQ(raised.info.scode, 0);
  EXPECT_EQ(raised.description(), "Coded");
}
