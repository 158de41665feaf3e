#include "server/server_connection.h"

#include "common/clean_up.h"
#include "common/failure.h"
#include "common/owner.h"
#include "common/text.h"
#include "server/com_error.h"
#include "server/control_ids.h"
#include "server/variant.h"

namespace ulvane::server {
namespace {

constexpr const char* kConnectionPrefix = "cn_iptcp:";
constexpr LCID kInvokeLocale = 0;

// A hosting step the control must not refuse (a negative result).
void require(HRESULT result) {
  if (FAILED(result)) throw Failure(code_message(result));
}

// Every call into the control: by dispatch ID, and anything but S_OK is a failure,
// positive success codes included.
void invoke(IDispatch* target, DISPID member, WORD kind, DISPPARAMS& params, VARIANT* result) {
  EXCEPINFO exception{};
  UINT argument_error = 0;
  HRESULT outcome =
      target->Invoke(member, IID_NULL, kInvokeLocale, kind, &params, result, &exception, &argument_error);
  if (outcome == DISP_E_EXCEPTION && exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
  ExceptionTexts texts(exception);
  if (outcome != S_OK) throw Failure(invoke_message(outcome, exception));
}

// Tagged only once the string exists: if the conversion runs out of memory, the
// variant stays empty, and clearing it frees nothing (VariantInit on Windows before
// 8.1 sets only the tag, so an early tag would free whatever bstrVal held).
void set_text(Variant& value, const std::string& text) {
  value.bstrVal = to_bstr(text).release();
  value.vt = VT_BSTR;
}

}  // namespace

ServerConnection::ServerConnection(const ServerAddress& address, const std::string& name_space,
                                   ServerErrors* errors)
    : errors_(errors) {
  require(CoCreateInstance(kControlClass, nullptr, kControlContext, IID_IOleObject,
                           reinterpret_cast<void**>(object_.GetAddressOf())));
  site_.Attach(new ControlSite);
  // The instance exists: a failure from here on closes it before going on (close
  // disconnects only a control hosted far enough to have connected).
  bool opened = false;
  then_clean_up(
      [&] {
        start_hosting();
        finish_hosting();
        connect(address, name_space);
        opened = true;
      },
      [&] {
        if (!opened) close();
      });
}

ServerConnection::~ServerConnection() {
  release();
}

void ServerConnection::start_hosting() {
  DWORD status = 0;
  require(object_->GetMiscStatus(DVASPECT_CONTENT, &status));
  if (status & OLEMISC_SETCLIENTSITEFIRST) {
    require(object_->SetClientSite(site_.Get()));
    site_given_ = true;
  }
  require(object_.As(&persist_));
  SIZEL extent{};
  require(object_->GetExtent(DVASPECT_CONTENT, &extent));
}

void ServerConnection::finish_hosting() {
  if (!site_given_) {
    require(object_->SetClientSite(site_.Get()));
    site_given_ = true;
  }
  require(persist_->InitNew());
  require(object_.As(&control_));
  require(object_.As(&dispatch_));

  // Optional parts of the hosting: the control works without them.
  Ptr<IPerPropertyBrowsing> browsing;
  object_.As(&browsing);
  Ptr<IConnectionPointContainer> points;
  if (SUCCEEDED(object_.As(&points))) {
    auto advise = [&](REFIID sink, Ptr<IConnectionPoint>& point, DWORD& cookie) {
      if (FAILED(points->FindConnectionPoint(sink, point.ReleaseAndGetAddressOf()))) return;
      if (FAILED(point->Advise(static_cast<IOleClientSite*>(site_.Get()), &cookie))) point.Reset();
    };
    advise(IID_IPropertyNotifySink, property_point_, property_cookie_);
    advise(kControlEvents, event_point_, event_cookie_);
  }
  control_->OnAmbientPropertyChange(DISPID_UNKNOWN);
  SIZEL extent{};
  object_->GetExtent(DVASPECT_CONTENT, &extent);
}

void ServerConnection::connect(const ServerAddress& address, const std::string& name_space) {
  Variant trap;
  trap.vt = VT_BOOL;
  trap.boolVal = VARIANT_TRUE;
  put(kErrorTrap, trap);

  Variant timeout;
  timeout.vt = VT_I4;
  timeout.lVal = -1;
  put(kTimeOut, timeout);

  // Host and port go in verbatim: no trimming, checking or escaping.
  Variant server;
  set_text(server,
           std::string(kConnectionPrefix).append(address.host).append("[").append(address.port).append("]"));
  put(kMServer, server);

  // Read once to test and once more for the message: that is the conversation the
  // control has always had with this library (its log shows two reads), and the
  // message is what the control says when the failure is raised.
  if (!get_text(kErrorName).empty()) throw Failure(get_text(kErrorName));

  Variant space;
  set_text(space, name_space);
  put(kNameSpace, space);
}

void ServerConnection::run(const std::string& line) {
  if (!vism_ && FAILED(object_->QueryInterface(kDVisM, reinterpret_cast<void**>(vism_.GetAddressOf()))))
    throw Failure("Interface not supported");
  Variant argument;
  set_text(argument, line);
  DISPPARAMS params{&argument, nullptr, 1, 0};
  Variant discarded;
  invoke(vism_.Get(), kRunCode, DISPATCH_METHOD, params, &discarded);
  ++lines_run_;
  if (errors_) observe_errors();
}

// Two more reads, made only when asked for: without them the control sees exactly
// the calls it always has. A read that fails is one more thing not reported.
void ServerConnection::observe_errors() noexcept {
  try {
    Variant error;
    get(kError, error);
    long number = 0;
    Variant converted;
    if (error.vt == VT_I4)
      number = error.lVal;
    else if (SUCCEEDED(VariantChangeTypeEx(&converted, &error, LOCALE_USER_DEFAULT, 0, VT_I4)))
      number = converted.lVal;
    std::string name = get_text(kErrorName);
    if (number != 0 || !name.empty()) errors_->push_back({lines_run_, number, std::move(name)});
  } catch (...) {
  }
}

std::string ServerConnection::read_result() {
  Variant value;
  get(kValueP1, value);
  if (value.vt == VT_BSTR) return to_ansi(value.bstrVal);
  if (value.vt == VT_EMPTY) return std::string();
  // Numbers and dates come out as the user's regional settings write them.
  Variant text;
  if (FAILED(VariantChangeTypeEx(&text, &value, LOCALE_USER_DEFAULT, 0, VT_BSTR)))
    throw Failure("Invalid variant type conversion");
  return to_ansi(text.bstrVal);
}

void ServerConnection::close() {
  if (!object_) return;
  then_clean_up(
      [&] {
        // Only a control that was fully hosted can have connected.
        if (!dispatch_) return;
        Variant nothing;
        set_text(nothing, std::string());
        put(kMServer, nothing);
      },
      [&] { release(); });
}

void ServerConnection::release() noexcept {
  if (!object_) return;
  object_->Close(OLECLOSE_NOSAVE);
  if (property_point_) property_point_->Unadvise(property_cookie_);
  if (event_point_) event_point_->Unadvise(event_cookie_);
  if (site_given_) object_->SetClientSite(nullptr);
  vism_.Reset();
  dispatch_.Reset();
  control_.Reset();
  persist_.Reset();
  property_point_.Reset();
  event_point_.Reset();
  object_.Reset();
  site_.Reset();
}

void ServerConnection::put(DISPID property, VARIANT& value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  invoke(dispatch_.Get(), property, DISPATCH_PROPERTYPUT, params, nullptr);
}

void ServerConnection::get(DISPID property, VARIANT& value) {
  VariantClear(&value);
  DISPPARAMS params{nullptr, nullptr, 0, 0};
  invoke(dispatch_.Get(), property, DISPATCH_PROPERTYGET, params, &value);
}

// A text property; a value that is not a string is converted where it can be and
// is otherwise the empty text.
std::string ServerConnection::get_text(DISPID property) {
  Variant value;
  get(property, value);
  if (value.vt == VT_BSTR) return to_ansi(value.bstrVal);
  Variant text;
  if (value.vt == VT_EMPTY || value.vt == VT_NULL ||
      FAILED(VariantChangeTypeEx(&text, &value, LOCALE_USER_DEFAULT, 0, VT_BSTR)))
    return std::string();
  return to_ansi(text.bstrVal);
}

}  // namespace ulvane::server
