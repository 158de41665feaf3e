// Text between the library's ANSI strings and COM's UTF-16 strings, in the
// system ANSI code page.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "common/owner.h"

namespace ulvane {

// std::bad_alloc when memory runs out.
Bstr to_bstr(const std::string& ansi);
std::string to_ansi(const wchar_t* text, std::size_t length);
inline std::string to_ansi(BSTR text) {
  return text ? to_ansi(text, SysStringLen(text)) : std::string();
}

}  // namespace ulvane
