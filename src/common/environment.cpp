#include "common/environment.h"

#include <windows.h>

namespace ulvane {

// The first lookup asks only for the size, so an unset variable costs nothing more.
std::optional<std::wstring> environment_value(const char* name) {
  const std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  // An empty value also answers 0, with no error of its own to tell it from unset.
  SetLastError(ERROR_SUCCESS);
  DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  std::wstring value;
  while (size > 1) {
    value.resize(size);
    const DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
    if (length < size) {
      value.resize(length);
      return value;
    }
    size = length;  // it grew meanwhile
  }
  return std::wstring();
}

}  // namespace ulvane
