// COM checks the tests share: the system table's text for a code, through the
// library's own lookup (for the few checks that depend on whether the table has a
// text at all; expected messages are written out as literals), and the thread's
// apartment.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace ulvane::test {

// The system table's text for code, its trailing blanks, control characters and
// full stops removed; empty when the table has none.
std::string system_text(HRESULT code);

// The calling thread's COM apartment type, or -1 when COM is not initialised on it.
int current_apartment();

}  // namespace ulvane::test
