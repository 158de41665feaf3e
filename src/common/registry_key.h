// Owner of an open registry key: closed exactly once, on every path.
#pragma once

#include <windows.h>

#include <utility>

namespace ulvane {

class RegistryKey {
public:
  RegistryKey() = default;
  explicit RegistryKey(HKEY key) : key_(key) {}
  RegistryKey(RegistryKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  RegistryKey& operator=(RegistryKey&& other) noexcept {
    std::swap(key_, other.key_);
    return *this;
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() {
    if (key_) RegCloseKey(key_);
  }

  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }

private:
  HKEY key_ = nullptr;
};

}  // namespace ulvane
