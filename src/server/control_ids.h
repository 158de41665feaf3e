// The outside control's identifiers, where it runs, and the dispatch IDs the library uses.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace ulvane::server {

// {88F75483-0574-11D0-8085-0000C0BD354B}
constexpr CLSID kControlClass = {
    0x88F75483, 0x0574, 0x11D0, {0x80, 0x85, 0x00, 0x00, 0xC0, 0xBD, 0x35, 0x4B}};
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
