// The process's environment variables, as this process sees them now.
#pragma once

#include <string>

namespace ulvane {

// The variable's value, or the empty text when it is unset (or set empty).
std::string environment_value(const char* name);

}  // namespace ulvane
