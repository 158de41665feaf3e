// A trace file as the DLL writes it (ULVANE_TRACE), read back call by call, so that
// suites starting hosts with the trace on can check what each call left there.
#pragma once

#include <string>
#include <vector>

namespace ulvane::test {

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
  std::vector<std::string> comments;  // the lines starting with '#'
  std::vector<TraceLine> calls;
};

// The file's lines (CR LF ended); no lines when it does not exist.
Trace read_trace(const std::string& path);

// What is wrong with the line's shape (the field count, a time, a number), or "".
std::string malformed(const TraceLine& line);

// A text as the trace writes it: in double quotes, backslash and quote escaped, for
// the printable texts (paths, names, expressions) the suites pass.
std::string trace_text(const std::string& text);

// The calls' call() lines, one per line: a whole trace to compare in one go.
std::string calls_of(const Trace& trace);

}  // namespace ulvane::test
