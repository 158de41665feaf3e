#include "common/text.h"

#include <windows.h>

#include <new>

namespace ulvane {

Bstr to_bstr(const std::string& ansi) {
  if (ansi.empty()) return Bstr();
  int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  Bstr text(SysAllocStringLen(nullptr, length));
  if (!text.get()) throw std::bad_alloc();
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), text.get(), length);
  return text;
}

namespace {

std::string narrow(UINT code_page, const wchar_t* text, std::size_t length) {
  if (length == 0) return std::string();
  int size = WideCharToMultiByte(code_page, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string narrowed(size, '\0');
  WideCharToMultiByte(code_page, 0, text, static_cast<int>(length), narrowed.data(), size, nullptr, nullptr);
  return narrowed;
}

}  // namespace

std::string to_ansi(const wchar_t* text, std::size_t length) {
  return narrow(CP_ACP, text, length);
}

std::wstring to_wide(std::string_view ansi) {
  if (ansi.empty()) return std::wstring();
  int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring text(length, L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), text.data(), length);
  return text;
}

std::string to_utf8(std::wstring_view text) {
  return narrow(CP_UTF8, text.data(), text.size());
}

}  // namespace ulvane
