// Loads the built Ulvane.dll the way an installer does: LoadLibraryA, then the
// exports by name.
#pragma once

#include <windows.h>

#include <string>

#include "ulvane.h"

namespace ulvane::test {

// A file in the directory of the running test program (the build's bin directory).
std::string beside_this_program(const std::string& file);

// The DLL the tests load: ULVANE_TEST_DLL when set (a release's DLL, say), else
// the built one beside the test program.
std::string library_path();

// The library, loaded once per test program and kept loaded.
HMODULE library_module();
const UlvaneApi& library();

}  // namespace ulvane::test
