#include "exports/trace.h"

#include <string_view>

#include "common/environment.h"
#include "exports/boundary.h"
#include "exports/trace_file.h"
#include "exports/trace_variables.h"

namespace ulvane {
namespace {

constexpr std::size_t kLongestShownText = 200;
constexpr char kSeparator = '\t';
constexpr const char* kArgumentSeparator = ", ";

void append_escaped(std::string& out, std::string_view text) {
  constexpr const char* kHexDigits = "0123456789abcdef";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += "\\x";
          out += kHexDigits[byte >> 4];
          out += kHexDigits[byte & 0xf];
        } else {
          out += c;
        }
    }
  }
}

std::string byte_count(std::size_t length) {
  std::string text = "(";
  text += std::to_string(length);
  text += " bytes)";
  return text;
}

// A text quoted with its control characters escaped, so that a line stays one line
// of tab-separated fields; cut, if asked, after its first 200 bytes.
std::string quoted(std::string_view text, bool cut) {
  std::string out = "\"";
  const bool long_text = cut && text.size() > kLongestShownText;
  append_escaped(out, long_text ? text.substr(0, kLongestShownText) : text);
  out += '"';
  if (long_text) out += "..." + byte_count(text.size());
  return out;
}

std::string shown_text(const char* text, bool with_texts) {
  if (!text) return "null";
  return with_texts ? quoted(text, true) : byte_count(std::string_view(text).size());
}

std::string padded(unsigned value, std::size_t width) {
  std::string digits = std::to_string(value);
  return std::string(digits.size() < width ? width - digits.size() : 0, '0') + digits;
}

std::string local_time_text(const SYSTEMTIME& time) {
  return padded(time.wYear, 4) + '-' + padded(time.wMonth, 2) + '-' + padded(time.wDay, 2) + ' ' +
         padded(time.wHour, 2) + ':' + padded(time.wMinute, 2) + ':' + padded(time.wSecond, 2) + '.' +
         padded(time.wMilliseconds, 3);
}

long long elapsed_milliseconds(const LARGE_INTEGER& start) {
  LARGE_INTEGER now{};
  LARGE_INTEGER frequency{};
  if (!QueryPerformanceCounter(&now) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart == 0)
    return 0;
  return (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
}

bool texts_shown() {
  return environment_value(kTraceArgumentsVariable) != "0";
}

}  // namespace

std::string TraceArgument::rendered(bool with_texts) const {
  return is_number_ ? std::to_string(number_) : shown_text(text_, with_texts);
}

CallTrace::CallTrace(const char* export_name, std::initializer_list<TraceArgument> arguments) noexcept
    : export_name_(export_name) {
  // The lookup must not change the thread's last error, which a host may read after a call.
  const DWORD last_error = GetLastError();
  try {
    path_ = environment_value(kTraceVariable);
  } catch (...) {
    path_.clear();
  }
  if (on()) {
    for (const TraceArgument& argument : arguments) {
      if (argument_count_ == kMostArguments) break;
      arguments_[argument_count_++] = argument;
    }
    GetLocalTime(&started_);
    QueryPerformanceCounter(&start_ticks_);
  }
  SetLastError(last_error);
}

void CallTrace::failed(std::exception_ptr failure) noexcept {
  if (!on()) return;
  try {
    failure_ = failure_message(failure);
    has_failure_ = true;
  } catch (...) {
    has_failure_ = false;
  }
}

int CallTrace::returned(int result) noexcept {
  if (on()) write(result);
  return result;
}

const char* CallTrace::returned(const char* result) noexcept {
  if (on()) write(result);
  return result;
}

void CallTrace::write(TraceArgument result) noexcept {
  // The host sees the last error the call's own work left, as without a trace.
  const DWORD last_error = GetLastError();
  try {
    const long long elapsed = elapsed_milliseconds(start_ticks_);
    const bool with_texts = texts_shown();
    std::string line = local_time_text(started_);
    line += kSeparator;
    line += std::to_string(GetCurrentProcessId());
    line += kSeparator;
    line += std::to_string(GetCurrentThreadId());
    line += kSeparator;
    line += export_name_;
    line += kSeparator;
    for (std::size_t index = 0; index < argument_count_; ++index) {
      if (index > 0) line += kArgumentSeparator;
      line += arguments_[index].rendered(with_texts);
    }
    line += kSeparator;
    line += result.rendered(with_texts);
    line += kSeparator;
    line += std::to_string(elapsed);
    line += kSeparator;
    // The failure's own message is what the trace is for: it is never cut or hidden.
    if (has_failure_) line += quoted(failure_, false);
    line += "\r\n";
    append_trace_line(path_, line);
  } catch (...) {
  }
  SetLastError(last_error);
}

}  // namespace ulvane
