// The call frame shared by the exports: argument copies, result text the library
// owns, and the one place where failures become return values.
#pragma once

#include <string>

#include "runtime/thread_records.h"
#include "trace/trace.h"

namespace ulvane {

// The caller's text copied into a string of our own; a null pointer is the empty text.
inline std::string text_argument(const char* text) {
  return text ? std::string(text) : std::string();
}

// Runs work and returns its value; any failure at all gives on_failure, and goes to
// the trace. Nothing escapes.
template <class Result, class Work>
Result value_or(Result on_failure, CallTrace& trace, Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    trace.failed(std::current_exception());
    return on_failure;
  }
}

// Keeps the text that work makes in the export's result storage (one per export and
// thread, so it stays valid until that export is next called on the same thread) and
// returns it. Any failure goes to the trace and gives the text that on_failure makes,
// or the empty text if even that fails.
template <class Work, class OnFailure>
const char* text_result(ResultText which, CallTrace& trace, Work&& work, OnFailure&& on_failure) noexcept {
  try {
    std::string& slot = result_storage(which);
    try {
      slot = work();
    } catch (...) {
      trace.failed(std::current_exception());
      slot = on_failure(std::current_exception());
    }
    return slot.c_str();
  } catch (...) {
    trace.failed(std::current_exception());
    return "";
  }
}

}  // namespace ulvane
