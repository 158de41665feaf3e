// The module's entry point. Loading does nothing of the library's own; a detaching
// thread and the unload give back what the module kept for its callers.
#include <windows.h>

#include "runtime/frame_tables.h"
#include "runtime/thread_records.h"

namespace __gnu_cxx {
// The C++ runtime's release of its own buffers (the emergency exception pool).
void __freeres() noexcept;
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
