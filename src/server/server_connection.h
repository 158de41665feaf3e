// One instance of the outside control, connected to a server for the length of
// one export call: Open (the constructor), run, read_result, close.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <oleidl.h>
#include <wrl/client.h>

#include <string>

#include "server/control_site.h"
#include "server/server_errors.h"

namespace ulvane::server {

struct ServerAddress {
  std::string host;
  std::string port;
};

class ServerConnection {
public:
  // Creates the control, hosts it, connects it and selects the namespace. A
  // failure after creation closes the instance before it goes on (and a failure
  // to close replaces it).
  // With errors given, what the server reports for each line goes there.
  ServerConnection(const ServerAddress& address, const std::string& name_space,
                   ServerErrors* errors = nullptr);
  // Releases whatever close() did not; never throws.
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  // Runs one line of server code.
  void run(const std::string& line);
  // The value the last line left in P1, as ANSI text.
  std::string read_result();
  // Disconnects and releases the instance, which is released even when the
  // disconnect fails; that failure then goes on. Later calls do nothing.
  void close();

private:
  void start_hosting();
  void finish_hosting();
  void connect(const ServerAddress& address, const std::string& name_space);
  void release() noexcept;

  void put(DISPID property, VARIANT& value);
  void get(DISPID property, VARIANT& value);
  std::string get_text(DISPID property);
  void observe_errors() noexcept;

  template <class Interface>
  using Ptr = Microsoft::WRL::ComPtr<Interface>;
  Ptr<IOleObject> object_;
  Ptr<ControlSite> site_;
  bool site_given_ = false;
  Ptr<IPersistStreamInit> persist_;
  Ptr<IOleControl> control_;
  // Two dispatch interfaces, as the control is driven: properties through the plain
  // IDispatch taken while hosting, RunCode through _DVisM, asked for only at the
  // first line. A control may hand out different objects for the two, and a
  // missing _DVisM is its own failure ("Interface not supported"), not a hosting one.
  Ptr<IDispatch> dispatch_;
  Ptr<IDispatch> vism_;
  Ptr<IConnectionPoint> property_point_;
  Ptr<IConnectionPoint> event_point_;
  DWORD property_cookie_ = 0;
  DWORD event_cookie_ = 0;
  ServerErrors* errors_ = nullptr;
  int lines_run_ = 0;
};

}  // namespace ulvane::server
