// Message patterns filled in with plain-text arguments, and the message of any failure.
#include "common/failure.h"

#include <new>

namespace ulvane {

std::string Failure::fill(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string text;
  auto next = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      if (pattern[i + 1] == 's') {
        if (next != args.end()) text += *next++;
        ++i;
        continue;
      }
      if (pattern[i + 1] == '%') {
        text += '%';
        ++i;
        continue;
      }
    }
    text += pattern[i];
  }
  return text;
}

std::string failure_message(std::exception_ptr failure) {
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

}  // namespace ulvane
