#include "support/text_difference.h"

#include <algorithm>

namespace ulvane::test {
namespace {

constexpr std::size_t kBefore = 60;
constexpr std::size_t kShown = 120;

// The line holding offset at, from at most kBefore characters before it, cut
// to kShown characters, with control characters made visible.
std::string line_at(const std::string& text, std::size_t at) {
  if (at >= text.size()) return "<end of text>";
  const std::size_t line_start = at == 0 ? 0 : text.rfind('\n', at - 1) + 1;  // npos + 1 is 0
  const std::size_t line_end = std::min(text.find('\n', at), text.size());
  const std::size_t begin = std::max(line_start, at > kBefore ? at - kBefore : 0);
  const std::size_t end = std::min(line_end, begin + kShown);
  std::string shown = begin > line_start ? "..." : "";
  shown += '"';
  for (std::size_t i = begin; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      shown += "\\r";
    } else if (c < 32 || c == 127) {
      const char* digits = "0123456789abcdef";
      shown += std::string("\\x") + digits[c >> 4] + digits[c & 15];
    } else {
      shown += static_cast<char>(c);
    }
  }
  shown += '"';
  if (end < line_end) shown += "...";
  return shown;
}

}  // namespace

::testing::AssertionResult same_text(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const std::size_t at =
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first - actual.begin();
  const auto line = std::count(actual.begin(), actual.begin() + at, '\n') + 1;
  return ::testing::AssertionFailure()
         << "the texts (" << actual.size() << " and " << expected.size() << " bytes) first differ at byte "
         << at << ", line " << line << "\n  actual:   " << line_at(actual, at)
         << "\n  expected: " << line_at(expected, at);
}

}  // namespace ulvane::test
