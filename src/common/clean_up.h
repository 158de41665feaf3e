// "Do the work, then clean up; a clean-up failure wins": the one way the library
// pairs work with clean-up that may itself fail.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace ulvane {

// Runs work, then clean_up, whether work failed or not, and returns work's value.
// A failure of clean_up is the outcome, replacing a failure of work on its way out.
template <class Work, class CleanUp>
auto then_clean_up(Work&& work, CleanUp&& clean_up) {
  using Result = decltype(work());
  std::exception_ptr failure;
  if constexpr (std::is_void_v<Result>) {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    clean_up();
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<Result> result;
    try {
      result.emplace(work());
    } catch (...) {
      failure = std::current_exception();
    }
    clean_up();
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

}  // namespace ulvane
