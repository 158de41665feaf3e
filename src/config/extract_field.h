// The field splitter of configuration values and key names.
#pragma once

#include <string>
#include <string_view>

namespace ulvane::config {

// The n-th field (from 1) of text split at delimiter; a missing field is the empty
// text, fields are not trimmed, and an n of 1 or less gives the first field.
std::string extract_field(std::string_view text, char delimiter, int n);

}  // namespace ulvane::config
