// UTF-8 <-> UTF-16, for the stand-ins: the wire and the journal carry UTF-8, Windows takes UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace standin {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace standin
