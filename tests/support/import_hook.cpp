#include "support/import_hook.h"

#include <stdexcept>
#include <string>

namespace ulvane::test {
namespace {

template <class T>
T* at(HMODULE module, DWORD offset) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + offset);
}

bool write_slot(void** slot, void* value) {
  DWORD old_protection = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old_protection)) return false;
  *slot = value;
  VirtualProtect(slot, sizeof *slot, old_protection, &old_protection);
  return true;
}

// The import address table entry through which module calls dll!function.
void** find_slot(HMODULE module, const char* dll, const char* function) {
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(module);
  auto* nt = at<IMAGE_NT_HEADERS>(module, dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return nullptr;
  for (auto* entry = at<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress); entry->Name; ++entry) {
    if (lstrcmpiA(at<char>(module, entry->Name), dll) != 0) continue;
    // Names come from the lookup table; the address table beside it holds the bound addresses.
    auto* names = at<IMAGE_THUNK_DATA>(
        module, entry->OriginalFirstThunk ? entry->OriginalFirstThunk : entry->FirstThunk);
    auto* addresses = at<IMAGE_THUNK_DATA>(module, entry->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = at<IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData));
      if (lstrcmpA(reinterpret_cast<const char*>(by_name->Name), function) == 0)
        return reinterpret_cast<void**>(&addresses->u1.Function);
    }
  }
  return nullptr;
}

}  // namespace

ImportHook::ImportHook(HMODULE module, const char* dll, const char* function, const void* replacement) {
  slot_ = find_slot(module, dll, function);
  if (!slot_) throw std::runtime_error(std::string("the module does not import ") + dll + "!" + function);
  original_ = *slot_;
  if (!write_slot(slot_, const_cast<void*>(replacement)))
    throw std::runtime_error("cannot make the import table writable");
}

ImportHook::~ImportHook() {
  write_slot(slot_, original_);
}

}  // namespace ulvane::test
