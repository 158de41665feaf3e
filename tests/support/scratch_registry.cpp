#include "support/scratch_registry.h"

#include <stdexcept>

namespace ulvane::test {
namespace {

constexpr const char* kVendorKey = "Software\\InterSystems";
constexpr const char* kConfigurationsKey = "Software\\InterSystems\\Cache\\Configurations";

REGSAM view_flag(View view) { return view == View::Wide64 ? KEY_WOW64_64KEY : 0; }

HKEY create(const std::string& path, View view) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_flag(view),
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot create HKLM\\" + path);
  return key;
}

std::string configuration_path(const std::string& name) { return std::string(kConfigurationsKey) + "\\" + name; }

}  // namespace

ScratchConfigurations::ScratchConfigurations() { remove_all(); }
ScratchConfigurations::~ScratchConfigurations() { remove_all(); }

void ScratchConfigurations::remove_all() {
  for (REGSAM flag : {REGSAM(0), REGSAM(KEY_WOW64_64KEY)}) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, 0, KEY_ALL_ACCESS | flag, &key) == ERROR_SUCCESS) {
      RegDeleteTreeA(key, nullptr);
      RegCloseKey(key);
      RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, flag, 0);
    }
  }
}

void ScratchConfigurations::create_root(View view) { RegCloseKey(create(kConfigurationsKey, view)); }

void ScratchConfigurations::add(const std::string& name, View view) {
  RegCloseKey(create(configuration_path(name), view));
}

void ScratchConfigurations::add_subkey(const std::string& name, const std::string& subkey, View view) {
  RegCloseKey(create(configuration_path(name) + "\\" + subkey, view));
}

void ScratchConfigurations::set_default(const std::string& name, const std::string& subkey, DWORD type,
                                        const void* data, DWORD size, View view) {
  HKEY key = create(configuration_path(name) + "\\" + subkey, view);
  LONG result = RegSetValueExA(key, nullptr, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) throw std::runtime_error("cannot set the default value of " + subkey);
}

void ScratchConfigurations::set_text(const std::string& name, const std::string& subkey,
                                     const std::string& text, View view) {
  set_default(name, subkey, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1), view);
}

}  // namespace ulvane::test
