// COM checks the tests share: the system table's text for a code, through the
// library's own lookup, the message expected for a code, and the thread's apartment.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace ulvane::test {

// The system table's text for code, its trailing blanks, control characters and
// full stops removed; empty when the table has none.
std::string system_text(HRESULT code);

// The message the library gives for a failed COM code: the system's text where the
// table has one (so a test means the same on Windows as on Wine), else "OLE error"
// and the code in eight hexadecimal digits.
std::string code_text(HRESULT code);

// The calling thread's COM apartment type, or -1 when COM is not initialised on it.
int current_apartment();

}  // namespace ulvane::test
