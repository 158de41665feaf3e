// Redirects one import of a loaded module for the life of the object: the module's
// calls of dll!function go to a replacement, as if the platform behaved otherwise
// (ran out of memory, changed a value between two calls). Restored when it goes.
#pragma once

#include <windows.h>

namespace ulvane::test {

class ImportHook {
public:
  // Patches module's import address table entry for function, imported from dll
  // (names compared without regard to case). Throws std::runtime_error when the
  // module does not import it.
  ImportHook(HMODULE module, const char* dll, const char* function, const void* replacement);
  ~ImportHook();
  ImportHook(const ImportHook&) = delete;
  ImportHook& operator=(const ImportHook&) = delete;

  // The function the module imported, for the replacement to pass calls on to.
  template <class Function>
  Function original() const {
    return reinterpret_cast<Function>(original_);
  }

private:
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace ulvane::test
