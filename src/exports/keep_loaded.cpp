#include "exports/keep_loaded.h"

#include <windows.h>

namespace ulvane {

void keep_loaded() noexcept {
  // Once per process: pinning is the module's own state, not a call's.
  static const bool pinned = [] {
    HMODULE self = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&keep_loaded), &self) != FALSE;
  }();
  (void)pinned;
}

}  // namespace ulvane
