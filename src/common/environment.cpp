#include "common/environment.h"

#include <windows.h>

namespace ulvane {

// The first lookup asks only for the size, so an unset variable costs nothing more.
std::string environment_value(const char* name) {
  DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  std::string value;
  while (size > 1) {
    value.resize(size);
    const DWORD length = GetEnvironmentVariableA(name, value.data(), size);
    if (length < size) {
      value.resize(length);
      return value;
    }
    size = length;  // it grew meanwhile
  }
  return std::string();
}

}  // namespace ulvane
