// COM checks the tests share: the failure message a result code should give,
// computed at run time (Wine's system message table lacks texts that Windows
// has, so no wording is written into the tests), and the thread's apartment.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace ulvane::test {

// The system table's text for code, its trailing blanks, control characters and
// full stops removed; empty when the table has none.
std::string system_text(HRESULT code);

// That text, or "OLE error XXXXXXXX" where there is none.
std::string code_failure_message(HRESULT code);

// The calling thread's COM apartment type, or -1 when COM is not initialised on it.
int current_apartment();

}  // namespace ulvane::test
