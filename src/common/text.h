// Text between the library's ANSI strings and the platform's UTF-16 ones (COM's, the
// file system's), in the system ANSI code page; and UTF-8 for the trace.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

#include "common/owner.h"

namespace ulvane {

// std::bad_alloc when memory runs out.
Bstr to_bstr(const std::string& ansi);
std::string to_ansi(const wchar_t* text, std::size_t length);
inline std::string to_ansi(BSTR text) {
  return text ? to_ansi(text, SysStringLen(text)) : std::string();
}
inline std::string to_ansi(std::wstring_view text) {
  return to_ansi(text.data(), text.size());
}
std::wstring to_wide(std::string_view ansi);
std::string to_utf8(std::wstring_view text);

}  // namespace ulvane
