#include "support/trace_lines.h"

#include <cctype>

#include "common/text.h"
#include "support/standin_server.h"

namespace ulvane::test {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
    parts.push_back(text.substr(start, at - start));
  parts.push_back(text.substr(start));
  return parts;
}

bool decimal(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

std::string TraceLine::call() const {
  return field(kExport) + "\t" + field(kArguments) + "\t" + field(kResult) + "\t" + field(kFailure);
}

Trace read_trace(const std::string& path) {
  Trace trace;
  const std::string text = read_file(path).value_or("");
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string line = text.substr(start, end - start);
    if (line.rfind('#', 0) == 0 && start == 0)
      trace.header = line;
    else if (line.rfind('#', 0) == 0)
      trace.comments.push_back(line);
    else
      trace.calls.push_back({line, split(line, '\t')});
  }
  // A last line without its line end is a torn write: kept, so a check names it.
  if (start < text.size()) trace.calls.push_back({text.substr(start), {}});
  return trace;
}

std::string malformed(const TraceLine& line) {
  if (line.fields.size() != kTraceFields)
    return std::to_string(line.fields.size()) + " fields, not " + std::to_string(kTraceFields);
  // YYYY-MM-DDTHH:MM:SS.mmmZ: the shape only, never the time itself.
  const std::string& time = line.fields[kTime];
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  bool timed = time.size() == shape.size();
  for (std::size_t i = 0; timed && i < shape.size(); ++i)
    timed = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(time[i])) != 0 : time[i] == shape[i];
  if (!timed) return "the time is not YYYY-MM-DDTHH:MM:SS.mmmZ";
  for (TraceField number : {kProcess, kThread, kMilliseconds})
    if (!decimal(line.fields[number])) return "field " + std::to_string(number + 1) + " is not a number";
  return "";
}

std::string utf8_of_ansi(const std::string& text) {
  return to_utf8(to_wide(text));
}

std::string trace_text(const std::string& text) {
  std::string quoted = "\"";
  constexpr const char* kHexDigits = "0123456789abcdef";
  for (char c : utf8_of_ansi(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\t') {
      quoted += "\\t";
    } else if (c == '\r') {
      quoted += "\\r";
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      quoted += "\\x";
      quoted += kHexDigits[byte >> 4];
      quoted += kHexDigits[byte & 0xf];
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string calls_of(const Trace& trace) {
  std::string text;
  for (const TraceLine& line : trace.calls) text.append(line.call()).append("\n");
  return text;
}

}  // namespace ulvane::test
