// Owners of platform handles: each released exactly once, on every path, by the
// function that releases its kind, and never when it holds its kind's empty value.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <utility>

namespace ulvane {

// Handle is a pointer-sized handle type, Release the platform function that frees
// it, and kEmpty the value that means "none" for that kind (null for most, -1 for
// file handles, which is INVALID_HANDLE_VALUE).
template <class Handle, auto Release, std::intptr_t kEmpty = 0>
class Owner {
public:
  static Handle empty() noexcept { return reinterpret_cast<Handle>(kEmpty); }

  Owner() noexcept = default;
  explicit Owner(Handle owned) noexcept : handle_(owned) {}
  Owner(Owner&& other) noexcept : handle_(other.release()) {}
  Owner& operator=(Owner&& other) noexcept {
    reset(other.release());
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner() { reset(); }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != empty(); }
  // Gives the handle up without releasing it.
  Handle release() noexcept { return std::exchange(handle_, empty()); }
  void reset(Handle owned = empty()) noexcept {
    Handle old = std::exchange(handle_, owned);
    if (old != empty()) Release(old);
  }

private:
  Handle handle_ = empty();
};

using RegistryKey = Owner<HKEY, &RegCloseKey>;
// The empty text is the null BSTR.
using Bstr = Owner<BSTR, &SysFreeString>;
using FileHandle = Owner<HANDLE, &CloseHandle, -1>;
using FindHandle = Owner<HANDLE, &FindClose, -1>;
using Module = Owner<HMODULE, &FreeLibrary>;
// Memory the system allocated for its caller (FormatMessage's ALLOCATE_BUFFER).
using LocalMemory = Owner<HLOCAL, &LocalFree>;

// The three texts of an exception record an Invoke filled in, freed together.
struct ExceptionTexts {
  explicit ExceptionTexts(EXCEPINFO& record) noexcept
      : source(record.bstrSource), description(record.bstrDescription), help_file(record.bstrHelpFile) {}
  Bstr source;
  Bstr description;
  Bstr help_file;
};

}  // namespace ulvane
