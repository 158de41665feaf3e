// The identifiers the stand-in control answers to, as the real control's.
#pragma once

#include <objbase.h>

#include <cstring>

namespace standin {

// {88F75483-0574-11D0-8085-0000C0BD354B}
inline constexpr CLSID kControlClsid = {
    0x88F75483, 0x0574, 0x11D0, {0x80, 0x85, 0x00, 0x00, 0xC0, 0xBD, 0x35, 0x4B}};
// {88F75481-...}: the default dispatch interface _DVisM
inline constexpr IID kDVisMIid = {
    0x88F75481, 0x0574, 0x11D0, {0x80, 0x85, 0x00, 0x00, 0xC0, 0xBD, 0x35, 0x4B}};
// {88F75482-...}: the event interface
inline constexpr IID kEventsIid = {
    0x88F75482, 0x0574, 0x11D0, {0x80, 0x85, 0x00, 0x00, 0xC0, 0xBD, 0x35, 0x4B}};

// Interface ids that arrive through the platform's marshalling may be unaligned (Wine
// hands them over from its message buffer): entry points compare a copy of their own.
inline IID aligned_copy(REFIID iid) {
  IID copy;
  std::memcpy(&copy, &iid, sizeof copy);
  return copy;
}

inline constexpr DISPID kRunCode = 26;
inline constexpr DISPID kValue = 1;
inline constexpr DISPID kOnExecuted = 1;
inline constexpr DISPID kOnError = 2;

}  // namespace standin
