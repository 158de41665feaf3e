// Owner of a VARIANT: starts empty, cleared when it goes.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace ulvane::server {

struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

}  // namespace ulvane::server
