#include "config/extract_field.h"

namespace ulvane::config {

std::string extract_field(std::string_view text, char delimiter, int n) {
  for (; n > 1; --n) {
    std::size_t at = text.find(delimiter);
    text = at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
  }
  return std::string(text.substr(0, text.find(delimiter)));
}

}  // namespace ulvane::config
