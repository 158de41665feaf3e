#include "support/scratch_registry.h"

#include <stdexcept>

namespace ulvane::test {
namespace {

constexpr const char* kVendorKey = "Software\\InterSystems";
constexpr const char* kConfigurationsKey = "Software\\InterSystems\\Cache\\Configurations";

REGSAM view_flag(View view) {
  return view == View::Wide64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

// Key by key below the configurations key: the ANSI registry calls refuse a
// path longer than MAX_PATH, which a long configuration name makes.
HKEY create(View view, const std::string& name = "", const std::string& subkey = "") {
  HKEY key = HKEY_LOCAL_MACHINE;
  for (const std::string& part : {std::string(kConfigurationsKey), name, subkey}) {
    if (part.empty()) continue;
    HKEY child = nullptr;
    const LONG result = RegCreateKeyExA(key, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_flag(view),
                                        nullptr, &child, nullptr);
    if (key != HKEY_LOCAL_MACHINE) RegCloseKey(key);
    if (result != ERROR_SUCCESS) throw std::runtime_error("cannot create HKLM\\" + part);
    key = child;
  }
  return key;
}

// Sets the access list of the key at path (below the local-machine hive): no
// mask grants everything, a mask grants only that, to everyone.
void set_access(View view, const std::string& path, DWORD allowed_mask) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, WRITE_DAC | view_flag(view), &key) != ERROR_SUCCESS)
    throw std::runtime_error("cannot open HKLM\\" + path + " to change its access list");
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
  alignas(DWORD) BYTE acl_bytes[256];
  ACL* acl = reinterpret_cast<ACL*>(acl_bytes);
  InitializeAcl(acl, sizeof acl_bytes, ACL_REVISION);
  AddAccessAllowedAce(acl, ACL_REVISION, allowed_mask, everyone);
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, allowed_mask ? acl : nullptr, FALSE);
  const LONG result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
  FreeSid(everyone);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) throw std::runtime_error("cannot set the access list of HKLM\\" + path);
}

std::string key_path(const std::string& name, const std::string& subkey) {
  std::string path = kConfigurationsKey;
  if (!name.empty()) path += "\\" + name;
  if (!subkey.empty()) path += "\\" + subkey;
  return path;
}

}  // namespace

ScratchConfigurations::ScratchConfigurations() {
  remove_all();
}

ScratchConfigurations::~ScratchConfigurations() {
  // Read access back first, or the tree cannot be walked to remove it.
  for (const Refused& key : refused_) {
    try {
      set_access(key.view, key.path, 0);
    } catch (const std::exception&) {
      // Removed as far as it can be; the next fixture starts by removing again.
    }
  }
  remove_all();
}

void ScratchConfigurations::remove_all() {
  for (REGSAM flag : {REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY)}) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, 0, KEY_ALL_ACCESS | flag, &key) == ERROR_SUCCESS) {
      RegDeleteTreeA(key, nullptr);
      RegCloseKey(key);
      RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, flag, 0);
    }
  }
}

void ScratchConfigurations::create_root(View view) {
  RegCloseKey(create(view));
}

void ScratchConfigurations::add(const std::string& name, View view) {
  RegCloseKey(create(view, name));
}

void ScratchConfigurations::add_subkey(const std::string& name, const std::string& subkey, View view) {
  RegCloseKey(create(view, name, subkey));
}

void ScratchConfigurations::set_default(const std::string& name, const std::string& subkey, DWORD type,
                                        const void* data, DWORD size, View view) {
  HKEY key = create(view, name, subkey);
  LONG result = RegSetValueExA(key, nullptr, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) throw std::runtime_error("cannot set the default value of " + subkey);
}

void ScratchConfigurations::set_text(const std::string& name, const std::string& subkey,
                                     const std::string& text, View view) {
  set_default(name, subkey, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1), view);
}

void ScratchConfigurations::refuse_read(const std::string& name, const std::string& subkey, View view) {
  RegCloseKey(create(view, name, subkey));
  // Changing the access list and deleting stay allowed, so the key can be given back and removed.
  set_access(view, key_path(name, subkey), WRITE_DAC | DELETE);
  refused_.push_back({key_path(name, subkey), view});
}

}  // namespace ulvane::test
