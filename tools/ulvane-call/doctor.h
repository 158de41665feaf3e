// ulvane-call doctor: what an installer author checks on a machine where an
// install fails, one line per check.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "ulvane.h"

namespace ulvane::call {

// Where doctor asks the server for its version.
struct ServerAddress {
  std::string host = "127.0.0.1";
  std::optional<int> port;  // none: the chosen configuration's
};

// Names the loaded library (dll, resolved into api) by its full path and file
// version, says whether it traces its calls and where to (making one traced call of
// its own to see that its line lands), then checks the configuration named config
// (null: the first one listed) and the server at address; prints one line per check.
// Returns 0 when every check passed, else 1. Only reads, except for that one line of
// the trace and one Call of $ZV on the server.
int run_doctor(HMODULE dll, const UlvaneApi& api, const char* config, const ServerAddress& address);

}  // namespace ulvane::call
