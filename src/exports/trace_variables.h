// The environment variables that turn the trace on and shape it, for the library and
// for the tools that set or report them.
#pragma once

namespace ulvane {

// Names the file each export call appends its line to, by its full path; unset or
// empty: no trace.
inline constexpr const char* kTraceVariable = "ULVANE_TRACE";
// Unset or "1": texts in full. Any other value: each text is shown by its length only,
// for machines whose data is not ours to read.
inline constexpr const char* kTraceArgumentsVariable = "ULVANE_TRACE_ARGS";

}  // namespace ulvane
