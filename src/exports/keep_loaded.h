// Keeps the DLL in the process from its first call on.
#pragma once

namespace ulvane {

// The statically linked C++ runtime cannot be unloaded cleanly: every unload
// leaves a thread-local slot, two handles and some memory behind, and a host
// that loads and unloads the DLL around each call runs out of thread-local
// slots after about a thousand rounds and dies. So the first call pins the DLL
// until the process ends. Cheap after the first call; never fails the call.
void keep_loaded() noexcept;

}  // namespace ulvane
