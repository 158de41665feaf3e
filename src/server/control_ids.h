// The outside control's identifiers, where it runs, and the dispatch IDs the library uses.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "ulvane.h"

namespace ulvane::server {

namespace detail {
// The value of the hex digits text[first, first + count).
constexpr unsigned long long hex_value(const char* text, int first, int count) {
  unsigned long long value = 0;
  for (int i = first; i < first + count; ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c - 'a' + 10;
    value = value * 16 + digit;
  }
  return value;
}
// A GUID from its registry form, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, at compile time,
// so the public header's text is the one place the class id is written.
constexpr GUID guid_from_text(const char (&text)[39]) {
  GUID guid{static_cast<unsigned long>(hex_value(text, 1, 8)),
            static_cast<unsigned short>(hex_value(text, 10, 4)),
            static_cast<unsigned short>(hex_value(text, 15, 4)),
            {}};
  for (int i = 0; i < 8; ++i) {
    const int at = i < 2 ? 20 + 2 * i : 25 + 2 * (i - 2);
    guid.Data4[i] = static_cast<unsigned char>(hex_value(text, at, 2));
  }
  return guid;
}
}  // namespace detail

constexpr CLSID kControlClass = detail::guid_from_text(ULVANE_CONTROL_CLASS_ID);
// Where the control may run: in the caller's process, or in a server process of its own.
constexpr DWORD kControlContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;
// _DVisM, the default dispatch interface: {88F75481-0574-11D0-8085-0000C0BD354B}
constexpr IID kDVisM = {0x88F75481, 0x0574, 0x11D0, {0x80, 0x85, 0x00, 0x00, 0xC0, 0xBD, 0x35, 0x4B}};
// The event interface: {88F75482-0574-11D0-8085-0000C0BD354B}
constexpr IID kControlEvents = {0x88F75482, 0x0574, 0x11D0, {0x80, 0x85, 0x00, 0x00, 0xC0, 0xBD, 0x35, 0x4B}};

constexpr DISPID kValueP1 = 1;  // the variant property holding P1 after a line ran
constexpr DISPID kErrorTrap = 12;
constexpr DISPID kError = 15;
constexpr DISPID kErrorName = 16;
constexpr DISPID kNameSpace = 18;
constexpr DISPID kTimeOut = 19;
constexpr DISPID kMServer = 25;
constexpr DISPID kRunCode = 26;

}  // namespace ulvane::server
