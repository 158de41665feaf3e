// The one exception type inside the library: a failure carrying its message text.
// Only the export boundary catches it.
#pragma once

#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ulvane {

class Failure : public std::runtime_error {
public:
  explicit Failure(const std::string& message) : std::runtime_error(message) {}

  // Fills each "%s" of pattern with the next argument, taken as plain text: a '%'
  // inside an argument is never read as a directive. "%%" is a literal '%'.
  template <class... Args>
  static Failure format(std::string_view pattern, const Args&... args) {
    return Failure(fill(pattern, {std::string_view(args)...}));
  }

private:
  static std::string fill(std::string_view pattern, std::initializer_list<std::string_view> args);
};

// A failure's own message, whatever was thrown: what Call returns, and what the trace
// and GetLastFailure record.
std::string failure_message(std::exception_ptr failure);

}  // namespace ulvane
