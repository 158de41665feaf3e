// RegistryKey, the owner of an open registry key, is one of the owners in owner.h;
// the registry code includes it by this name.
#pragma once

#include "common/owner.h"
