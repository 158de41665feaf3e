// The call frame shared by the exports: argument copies, result text the library
// owns, and the one place where failures become return values.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "exports/thread_records.h"
#include "exports/trace.h"

namespace ulvane {

// The caller's text copied into a string of our own; a null pointer is the empty text.
inline std::string text_argument(const char* text) {
  return text ? std::string(text) : std::string();
}

// A failure's own message: what Call returns, and what the trace records.
inline std::string failure_message(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return "Out of memory";
  } catch (const std::exception& known) {
    return known.what();
  } catch (...) {
    return "Unknown failure";
  }
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
