// A trace file as the DLL writes it (ULVANE_TRACE), read back call by call, so that
// suites starting hosts with the trace on can check what each call left there.
#pragma once

#include <string>
#include <vector>

#include "ulvane.h"

namespace ulvane::test {

// The first line of every trace file, without its line end.
inline constexpr const char* kTraceHeader = ULVANE_TRACE_HEADER;

// The fields of a call's line, in their order.
enum TraceField {
  kTime,
  kProcess,
  kThread,
  kExport,
  kArguments,
  kResult,
  kMilliseconds,
  kFailure,
  kServer,
  kTraceFields
};

struct TraceLine {
  std::string text;  // the whole line, for messages
  std::vector<std::string> fields;
  // The field, or "<missing>" on a line too short to have it.
  std::string field(TraceField which) const {
    return std::size_t(which) < fields.size() ? fields[which] : "<missing>";
  }
  // Export, arguments, result and failure, tab-separated: what a call did, without
  // when, where or how long.
  std::string call() const;
};

struct Trace {
  std::string header;                 // the first line when it starts with '#', else ""
  std::vector<std::string> comments;  // the other lines starting with '#'
  std::vector<TraceLine> calls;
};

// The file's lines (CR LF ended); no lines when it does not exist.
Trace read_trace(const std::string& path);

// What is wrong with the line's shape (the field count, a time, a number), or "".
std::string malformed(const TraceLine& line);

// An ANSI text in UTF-8, as the trace writes every text.
std::string utf8_of_ansi(const std::string& text);

// A text as the trace writes it in full: in UTF-8, in double quotes, backslash and
// quote escaped, control characters as \t, \r, \n or \xNN.
std::string trace_text(const std::string& text);

// The calls' call() lines, one per line: a whole trace to compare in one go.
std::string calls_of(const Trace& trace);

}  // namespace ulvane::test
