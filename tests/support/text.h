// Text helpers the suites share.
#pragma once

#include <string>
#include <string_view>

namespace ulvane::test {

// Joins texts by appending (GCC 12 warns falsely on "literal" + std::string).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string text;
  (text.append(parts), ...);
  return text;
}

// text followed by number in decimal: numbered("C", 7) is "C7".
inline std::string numbered(std::string_view text, int number) {
  return cat(text, std::to_string(number));
}

}  // namespace ulvane::test
