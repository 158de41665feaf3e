// The platform's message-table text for a system or COM error code, and the one
// rule for the ends of message texts.
#pragma once

#include <windows.h>

#include <string>

namespace ulvane {

// Removes trailing blanks, control characters and full stops, one by one.
std::string trim_message(std::string text);

// The system table's whole text for code in the default language, trimmed as above;
// empty when the table has no text for it. Each caller words its own fallback.
std::string system_message(DWORD code);

// The system's text for code, or "error N" where the table has none: the reason a
// failure's message gives after a colon.
std::string system_reason(DWORD code);

}  // namespace ulvane
