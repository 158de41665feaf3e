#include "connection_point.h"

#include <olectl.h>

#include "guard.h"
#include "harness.h"
#include "ids.h"

using Microsoft::WRL::ComPtr;

namespace standin {

ConnectionPoint::~ConnectionPoint() {
  // Sinks still connected are let go with the control; they were never disconnected,
  // so the connected-sink count keeps them.
  sinks_.clear();
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::sinks() const {
  std::vector<ComPtr<IUnknown>> copy;
  for (const auto& [cookie, sink] : sinks_) copy.push_back(sink);
  return copy;
}

HRESULT ConnectionPoint::QueryInterface(REFIID requested, void** object) {
  const IID riid = aligned_copy(requested);
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = owner_;
  owner_->AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  return guarded([&]() -> HRESULT {
    std::string line = "Advise ";
    line.append(name_);
    if (!sink || !cookie) {
      harness::log_result(line, E_POINTER);
      return E_POINTER;
    }
    *cookie = 0;
    std::string target = "Advise:";
    if (std::optional<Outcome> fault = faults_.on_call(target.append(name_))) {
      harness::log_result(line, fault->code);
      return fault->code;
    }
    ComPtr<IUnknown> typed;
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(typed.GetAddressOf())))) {
      harness::log_result(line, CONNECT_E_CANNOTCONNECT);
      return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = next_cookie_++;
    sinks_[*cookie] = typed;
    harness::sink_connected();
    harness::log(line.append(" ").append(std::to_string(*cookie)));
    return S_OK;
  });
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  return guarded([&]() -> HRESULT {
    std::string line = "Unadvise ";
    line.append(name_).append(" ").append(std::to_string(cookie));
    if (sinks_.erase(cookie) == 0) {
      harness::log_result(line, CONNECT_E_NOCONNECTION);
      return CONNECT_E_NOCONNECTION;
    }
    harness::sink_disconnected();
    harness::log(line);
    return S_OK;
  });
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** connections) {
  // No host of this control enumerates connections.
  if (connections) *connections = nullptr;
  return E_NOTIMPL;
}

}  // namespace standin
