// The opt-in trace: with ULVANE_TRACE naming a file, each export call appends one
// line saying what it was given, what it returned and, when it failed, why. Nothing
// is kept between calls; without the variable the whole cost is one lookup.
#pragma once

#include <windows.h>

#include <cstddef>
#include <exception>
#include <string>

#include "server/server_errors.h"

namespace ulvane {

// One argument as the caller passed it: a text pointer (perhaps null) or a number.
class TraceArgument {
public:
  TraceArgument(const char* text) noexcept : text_(text) {}
  TraceArgument(int number) noexcept : number_(number), is_number_(true) {}
  const char* text() const noexcept { return text_; }
  int number() const noexcept { return number_; }
  bool is_number() const noexcept { return is_number_; }

private:
  const char* text_ = nullptr;
  int number_ = 0;
  bool is_number_ = false;
};

// Lives for one export call. Every member is noexcept: the trace never changes a
// result and never fails a call; a line it cannot write is dropped.
class CallTrace {
public:
  static constexpr std::size_t kMostArguments = 5;

  CallTrace(const char* export_name, std::initializer_list<TraceArgument> arguments) noexcept;
  CallTrace(const CallTrace&) = delete;
  CallTrace& operator=(const CallTrace&) = delete;

  bool on() const noexcept { return !path_.empty(); }

  // The failure the export turns into its return value: it goes to the trace and
  // becomes the thread's last failure. The constructor forgets the one before.
  void failed(std::exception_ptr failure) noexcept;

  // Where the server exports collect what the server reports for their lines: only
  // with the trace on, so that without it the control sees no extra call.
  server::ServerErrors* server_errors() noexcept { return on() ? &server_errors_ : nullptr; }

  // Writes the line and gives result back unchanged.
  int returned(int result) noexcept;
  const char* returned(const char* result) noexcept;

private:
  void write(TraceArgument result) noexcept;

  std::wstring path_;
  const char* export_name_;
  TraceArgument arguments_[kMostArguments] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  std::size_t argument_count_ = 0;
  SYSTEMTIME started_{};
  LARGE_INTEGER start_ticks_{};
  std::string failure_;
  bool has_failure_ = false;
  server::ServerErrors server_errors_;
};

}  // namespace ulvane
