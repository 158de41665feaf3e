// ulvane-call doctor: what an installer author checks on a machine where an
// install fails, one line per check.
#pragma once

#include <windows.h>

#include <string>

#include "ulvane.h"

namespace ulvane::call {

// Names the loaded library (dll, resolved into api) by its full path and file
// version, says whether it traces its calls and where to, then checks the
// configuration named config (null: the first one listed) and its server; prints
// one line per check. Returns 0 when every check passed, else 1. Only reads, except
// for one Call of $ZV on the server.
int run_doctor(HMODULE dll, const UlvaneApi& api, const char* config);

// The system's text for a Windows error code, or "error N" where it has none.
std::string error_text(DWORD code);

}  // namespace ulvane::call
