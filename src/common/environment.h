// The process's environment variables, as this process sees them now.
#pragma once

#include <optional>
#include <string>

namespace ulvane {

// The variable's value in UTF-16, as a host that sets it with SetEnvironmentVariableW
// gave it; nullopt when it is unset (an empty value is the empty text). name is ASCII.
std::optional<std::wstring> environment_value(const char* name);

}  // namespace ulvane
