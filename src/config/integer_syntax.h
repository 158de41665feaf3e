// The integer syntax of configuration values and entry numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ulvane::config {

// Leading blanks (code 32 only); then a sign and decimal digits, or a "$", "x",
// "X", "0x" or "0X" prefix and hexadecimal digits, or decimal digits; nothing
// after the digits. Decimal must fit the signed 32-bit range; hexadecimal may use
// all 32 bits and comes out in two's complement. Empty when the text does not parse.
std::optional<std::int32_t> parse_integer(std::string_view text);

}  // namespace ulvane::config
