// A host that has loaded the toolchain's shared unwinder (libgcc_s_dw2-1.dll for 32-bit
// code, libgcc_s_seh-1.dll for 64-bit), as a host built with MinGW and its shared
// runtime has, before or after it loads Ulvane.dll. Every failure inside the library is
// a thrown exception: an unwinder that missed the DLL's frames would end the host at
// the first one (exit code 3) instead of the export answering its failure value.
#pragma once

#include "support/child_mode.h"

namespace ulvane::test {

// For each of the toolchain's copies (its win32 and its posix thread model's, which the
// build puts beside the test programs in shared-unwinders/MODEL/): loads a copy of the
// DLL, then the unwinder, calls three exports on a path that fails by a throw inside the
// DLL, checks their failure values (GoogleTest expectations) and unloads the DLL; then,
// with the unwinder still loaded, loads the DLL again and does the same. An unwinder
// stays loaded for good (its own start-up takes a reference to itself), so the first is
// tried in this process, which must not have loaded one yet, and the second in a run of
// this program in the mode below. And a module built with the toolchain that this
// process loads afterwards hands its tables to that unwinder too (the stand-in
// control does): call this last.
void expect_failures_answered_beside_shared_unwinders();

// The mode that tries the second copy: a program that calls the function above lists
// it among its child modes (support/child_mode.h).
ChildMode shared_unwinder_child();

}  // namespace ulvane::test
