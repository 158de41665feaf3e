// The platform's text for a system error code, for messages to a person.
#pragma once

#include <windows.h>

#include <string>

namespace ulvane::call {

// Without its trailing line break and full stop; "error N" where there is none.
std::string system_message(DWORD code);

}  // namespace ulvane::call
