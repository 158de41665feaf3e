#include "variant.h"

#include <cstdio>

#include "common/utf8.h"

namespace standin {

Variant Variant::text(const std::wstring& text) {
  Variant variant;
  variant.value_.vt = VT_BSTR;
  variant.value_.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return variant;
}

Variant Variant::integer(LONG value) {
  Variant variant;
  variant.value_.vt = VT_I4;
  variant.value_.lVal = value;
  return variant;
}

std::wstring Variant::as_text() const {
  if (value_.vt != VT_BSTR || !value_.bstrVal) return L"";
  return std::wstring(value_.bstrVal, SysStringLen(value_.bstrVal));
}

std::string describe(const VARIANT& value) {
  char number[64];
  switch (value.vt) {
    case VT_EMPTY:
      return "VT_EMPTY";
    case VT_NULL:
      return "VT_NULL";
    case VT_BSTR: {
      if (!value.bstrVal) return "VT_BSTR null";
      std::string text = "VT_BSTR \"";
      return text.append(narrow({value.bstrVal, SysStringLen(value.bstrVal)})).append("\"");
    }
    case VT_BOOL:
      std::snprintf(number, sizeof number, "VT_BOOL %d", value.boolVal);
      return number;
    case VT_I2:
      std::snprintf(number, sizeof number, "VT_I2 %d", value.iVal);
      return number;
    case VT_I4:
      std::snprintf(number, sizeof number, "VT_I4 %ld", value.lVal);
      return number;
    case VT_R8:
      std::snprintf(number, sizeof number, "VT_R8 %.17g", value.dblVal);
      return number;
  }
  if (value.vt & VT_BYREF) {
    VARIANT target;
    VariantInit(&target);
    if (SUCCEEDED(VariantCopyInd(&target, const_cast<VARIANT*>(&value)))) {
      std::string text = "byref ";
      text.append(describe(target));
      VariantClear(&target);
      return text;
    }
  }
  std::snprintf(number, sizeof number, "VT_%u", value.vt);
  return number;
}

}  // namespace standin
