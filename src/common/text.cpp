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

std::string to_ansi(const wchar_t* text, std::size_t length) {
  if (length == 0) return std::string();
  int size = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string ansi(size, '\0');
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), ansi.data(), size, nullptr, nullptr);
  return ansi;
}

}  // namespace ulvane
