// Message patterns filled in with plain-text arguments.
#include "common/failure.h"

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

}  // namespace ulvane
