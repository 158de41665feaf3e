#include "trace/trace.h"

#include <optional>
#include <string_view>

#include "common/environment.h"
#include "common/failure.h"
#include "common/text.h"
#include "runtime/thread_records.h"
#include "trace/trace_file.h"
#include "trace/trace_variables.h"

namespace ulvane {
namespace {

constexpr std::size_t kLongestShownText = 200;  // characters
constexpr char kSeparator = '\t';
constexpr const char* kArgumentSeparator = ", ";

void append_escaped(std::wstring& out, std::wstring_view text) {
  constexpr const wchar_t* kHexDigits = L"0123456789abcdef";
  for (wchar_t c : text) {
    switch (c) {
      case L'\\':
        out += L"\\\\";
        break;
      case L'"':
        out += L"\\\"";
        break;
      case L'\t':
        out += L"\\t";
        break;
      case L'\r':
        out += L"\\r";
        break;
      case L'\n':
        out += L"\\n";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += L"\\x";
          out += kHexDigits[c >> 4];
          out += kHexDigits[c & 0xf];
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

// An ANSI text as the line shows it: in UTF-8, quoted, its control characters escaped
// so that a line stays one line of tab-separated fields; cut, if asked, after its
// first 200 characters, with its length as given.
std::string quoted(std::string_view ansi, bool cut) {
  const std::wstring text = to_wide(ansi);
  std::wstring_view shown = text;
  const bool long_text = cut && text.size() > kLongestShownText;
  if (long_text) {
    // Never half of a character that takes two UTF-16 units (an ANSI code page of UTF-8).
    shown = shown.substr(0, kLongestShownText - (IS_HIGH_SURROGATE(text[kLongestShownText - 1]) ? 1 : 0));
  }
  std::wstring out = L"\"";
  append_escaped(out, shown);
  out += L'"';
  std::string utf8 = to_utf8(out);
  if (long_text) utf8 += "..." + byte_count(ansi.size());
  return utf8;
}

std::string shown_text(const char* text, bool with_texts) {
  if (!text) return "null";
  return with_texts ? quoted(text, true) : byte_count(std::string_view(text).size());
}

std::string rendered(const TraceArgument& argument, bool with_texts) {
  return argument.is_number() ? std::to_string(argument.number()) : shown_text(argument.text(), with_texts);
}

std::string padded(unsigned value, std::size_t width) {
  std::string digits = std::to_string(value);
  return std::string(digits.size() < width ? width - digits.size() : 0, '0') + digits;
}

// ISO 8601 in UTC: a trace read on another machine, or across a change of daylight
// saving time, still orders its lines.
std::string utc_time_text(const SYSTEMTIME& time) {
  return padded(time.wYear, 4) + '-' + padded(time.wMonth, 2) + '-' + padded(time.wDay, 2) + 'T' +
         padded(time.wHour, 2) + ':' + padded(time.wMinute, 2) + ':' + padded(time.wSecond, 2) + '.' +
         padded(time.wMilliseconds, 3) + 'Z';
}

long long elapsed_milliseconds(const LARGE_INTEGER& start) {
  LARGE_INTEGER now{};
  LARGE_INTEGER frequency{};
  if (!QueryPerformanceCounter(&now) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart == 0)
    return 0;
  return (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
}

// Fails closed: any value but "1" ("0", "off", "no", " 0", empty) keeps the texts back.
bool texts_shown() {
  const std::optional<std::wstring> value = environment_value(kTraceArgumentsVariable);
  return !value || *value == L"1";
}

}  // namespace

CallTrace::CallTrace(const char* export_name, std::initializer_list<TraceArgument> arguments) noexcept
    : export_name_(export_name) {
  forget_last_failure();
  // The lookup must not change the thread's last error, which a host may read after a call.
  const DWORD last_error = GetLastError();
  try {
    path_ = environment_value(kTraceVariable).value_or(std::wstring());
  } catch (...) {
    path_.clear();
  }
  if (on()) {
    for (const TraceArgument& argument : arguments) {
      if (argument_count_ == kMostArguments) break;
      arguments_[argument_count_++] = argument;
    }
    GetSystemTime(&started_);
    QueryPerformanceCounter(&start_ticks_);
  }
  SetLastError(last_error);
}

void CallTrace::failed(std::exception_ptr failure) noexcept {
  try {
    failure_ = failure_message(failure);
    has_failure_ = true;
  } catch (...) {
    failure_.clear();
    has_failure_ = false;
  }
  record_last_failure(has_failure_ ? failure_ : std::string("Out of memory"));
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
    std::string line = utc_time_text(started_);
    line += kSeparator;
    line += std::to_string(GetCurrentProcessId());
    line += kSeparator;
    line += std::to_string(GetCurrentThreadId());
    line += kSeparator;
    line += export_name_;
    line += kSeparator;
    for (std::size_t index = 0; index < argument_count_; ++index) {
      if (index > 0) line += kArgumentSeparator;
      line += rendered(arguments_[index], with_texts);
    }
    line += kSeparator;
    line += rendered(result, with_texts);
    line += kSeparator;
    line += std::to_string(elapsed);
    line += kSeparator;
    // The failure's own message is what the trace is for: it is never cut or hidden.
    if (has_failure_) line += quoted(failure_, false);
    line += kSeparator;
    // Like the failure, what the server said is shown in full.
    for (std::size_t index = 0; index < server_errors_.size(); ++index) {
      const server::ServerError& error = server_errors_[index];
      if (index > 0) line += kArgumentSeparator;
      line += "line " + std::to_string(error.line) + ": Error=" + std::to_string(error.error) +
              " ErrorName=" + quoted(error.name, false);
    }
    line += "\r\n";
    append_trace_line(path_, line);
  } catch (...) {
  }
  SetLastError(last_error);
}

}  // namespace ulvane
