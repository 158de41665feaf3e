// What the failure message for a COM result code should be, computed at run time:
// Wine's system message table lacks texts that Windows has, so no wording is
// written into the tests.
#pragma once

#include <windows.h>

#include <string>

namespace ulvane::test {

// The system table's text for code, its trailing blanks, control characters and
// full stops removed; empty when the table has none.
std::string system_text(HRESULT code);

// That text, or "OLE error XXXXXXXX" where there is none.
std::string code_failure_message(HRESULT code);

}  // namespace ulvane::test
