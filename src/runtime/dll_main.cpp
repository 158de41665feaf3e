// The module's entry point. Loading does nothing of the library's own; a detaching
// thread and the unload give back what the module kept for its callers.
#include <windows.h>

#include <cstdlib>

#include "runtime/frame_tables.h"
#include "runtime/thread_records.h"

namespace __gnu_cxx {
// The C++ runtime's release of its own buffers (the emergency exception pool).
void __freeres() noexcept;

// In place of the runtime's handler for an exception that nothing catches, which names
// the exception's type through the runtime's demangler (47 KB of the 32-bit DLL) on a
// standard error that a host's DLL does not have. The exports catch everything, so only
// a fault of the library's own gets here; it ends the process, as the runtime's does.
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_THREAD_DETACH:
      ulvane::release_this_thread();
      break;
    case DLL_PROCESS_DETACH:
      // When the process is ending (reserved not null) its other threads were stopped
      // wherever they were, perhaps holding the records' lock: the system frees all.
      if (!reserved) {
        ulvane::release_all_threads();
        ulvane::release_frame_tables();
        __gnu_cxx::__freeres();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
