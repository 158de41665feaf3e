// Text helpers the suites share.
#pragma once

#include <string>

namespace ulvane::test {

// Joins texts by appending (GCC 12 warns falsely on "literal" + std::string).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string text;
  (text.append(parts), ...);
  return text;
}

}  // namespace ulvane::test
