// One connection point of the control: the sinks of one outgoing interface.
// It lives inside the control and shares its reference count.
#pragma once

#include <ocidl.h>
#include <wrl/client.h>

#include <map>
#include <string>
#include <vector>

#include "faults.h"

namespace standin {

class ConnectionPoint : public IConnectionPoint {
public:
  // name is what the log and the fault targets call it ("Advise:" + name).
  ConnectionPoint(IConnectionPointContainer* owner, Faults& faults, const IID& iid, std::string name)
      : owner_(owner), faults_(faults), iid_(iid), name_(std::move(name)) {}
  ~ConnectionPoint();
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  const IID& iid() const { return iid_; }
  // The connected sinks, each as the interface of this point; a copy, so a sink may
  // unadvise while it is being called.
  std::vector<Microsoft::WRL::ComPtr<IUnknown>> sinks() const;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

private:
  IConnectionPointContainer* owner_;
  Faults& faults_;
  IID iid_;
  std::string name_;
  std::map<DWORD, Microsoft::WRL::ComPtr<IUnknown>> sinks_;
  DWORD next_cookie_ = 1;
};

}  // namespace standin
