// Entering and removing the control's class in the registry, as regsvr32 asks.
#pragma once

#include <windows.h>

namespace standin {

HRESULT register_control(HMODULE module);
HRESULT unregister_control();

}  // namespace standin
