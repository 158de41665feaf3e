// The environment variables that turn the trace on and shape it (named in the public header).
#pragma once

#include "ulvane.h"

namespace ulvane {

inline constexpr const char* kTraceVariable = ULVANE_TRACE_VARIABLE;
inline constexpr const char* kTraceArgumentsVariable = ULVANE_TRACE_ARGS_VARIABLE;

}  // namespace ulvane
