#include "registration.h"

#include <olectl.h>

#include <string>

#include "ids.h"

namespace standin {
namespace {

std::wstring class_key() {
  wchar_t clsid[40];
  StringFromGUID2(kControlClsid, clsid, 40);
  return std::wstring(L"CLSID\\") + clsid;
}

HRESULT set_value(const std::wstring& key_path, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                &key, nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  return HRESULT_FROM_WIN32(status);
}

}  // namespace

HRESULT register_control(HMODULE module) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return SELFREG_E_CLASS;
  std::wstring key = class_key();
  std::wstring server = key + L"\\InprocServer32";
  for (HRESULT result :
       {set_value(key, nullptr, L"Ulvane stand-in control"), set_value(server, nullptr, path),
        set_value(server, L"ThreadingModel", L"Apartment")})
    if (FAILED(result)) return SELFREG_E_CLASS;
  return S_OK;
}

HRESULT unregister_control() {
  LONG status = RegDeleteTreeW(HKEY_CLASSES_ROOT, class_key().c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

}  // namespace standin
