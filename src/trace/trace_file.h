// The trace file: one line appended per call, the file opened and closed around it,
// and written only when it is the trace's own.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace ulvane {

// Why the lines for a path are dropped; kNone when they are written.
enum class TraceFileProblem {
  kNone,
  kRelativePath,  // it would depend on the host's current folder
  kCannotOpen,    // error says why
  kCannotMake,    // error says why
  kNotPlainFile,  // a folder, a device or a reparse point
  kSeveralLinks,  // another name (a hard link) could be read by others
  kForeignOwner,  // owned by neither the calling user nor Administrators
  kNoHeader,      // not a trace: some other file the variable names by mistake
  kCannotLock,    // error says why
};

struct TraceFileCheck {
  TraceFileProblem problem = TraceFileProblem::kNone;
  DWORD error = ERROR_SUCCESS;
};

// Appends line (UTF-8, ending in CR LF) with one write, under a lock that writers
// of every thread and process take in turn. A file not there yet is made for its
// owner and Administrators only; an empty file gets the header first. Any problem
// drops the line.
void append_trace_line(const std::wstring& path, std::string_view line) noexcept;

// What append_trace_line meets at path, found as it finds it: a file not there yet is
// made (empty), so that a folder nobody may write to shows as such; nothing is written.
TraceFileCheck check_trace_file(const std::wstring& path) noexcept;

}  // namespace ulvane
