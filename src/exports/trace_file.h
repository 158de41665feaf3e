// The trace file: one line appended per call, the file opened and closed around it.
#pragma once

#include <string>

namespace ulvane {

// Appends line with one write, so that lines from other threads and processes never
// cut into it. A file made here is readable by its owner and administrators only and
// starts with the header. Any failure drops the line.
void append_trace_line(const std::string& path, const std::string& line) noexcept;

}  // namespace ulvane
