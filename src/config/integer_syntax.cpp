// Integer parsing by the configuration files' rules.
#include "config/integer_syntax.h"

#include <algorithm>
#include <array>

namespace ulvane::config {
namespace {

constexpr std::array<std::string_view, 5> kHexPrefixes = {"0x", "0X", "$", "x", "X"};

int digit_value(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9')
    value = c - '0';
  else if (c >= 'a' && c <= 'f')
    value = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    value = c - 'A' + 10;
  return value < base ? value : -1;
}

// At least one digit and nothing else; the magnitude is capped at limit + 1 so it cannot overflow.
std::optional<std::uint64_t> magnitude(std::string_view digits, int base, std::uint64_t limit) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    int d = digit_value(c, base);
    if (d < 0) return std::nullopt;
    value = value * base + d;
    if (value > limit) return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<std::int32_t> parse_integer(std::string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
  if (text.empty()) return std::nullopt;

  if (text[0] == '-' || text[0] == '+') {
    const bool negative = text[0] == '-';
    auto value = magnitude(text.substr(1), 10, negative ? 2147483648u : 2147483647u);
    if (!value) return std::nullopt;
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(*value) : *value);
  }
  for (std::string_view prefix : kHexPrefixes) {
    if (text.substr(0, prefix.size()) == prefix) {
      auto value = magnitude(text.substr(prefix.size()), 16, 0xFFFFFFFFu);
      if (!value) return std::nullopt;
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(*value));
    }
  }
  auto value = magnitude(text, 10, 2147483647u);
  if (!value) return std::nullopt;
  return static_cast<std::int32_t>(*value);
}

}  // namespace ulvane::config
