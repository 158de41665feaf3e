// An owned VARIANT, and the text form of a value for the call log.
#pragma once

#include <ole2.h>

#include <string>

namespace standin {

class Variant {
public:
  Variant() { VariantInit(&value_); }
  Variant(const Variant& other) : Variant() { VariantCopy(&value_, const_cast<VARIANT*>(&other.value_)); }
  Variant& operator=(const Variant& other) {
    if (this != &other) VariantCopy(&value_, const_cast<VARIANT*>(&other.value_));
    return *this;
  }
  ~Variant() { VariantClear(&value_); }

  static Variant text(const std::wstring& text);
  static Variant integer(LONG value);

  VARIANT* get() { return &value_; }
  const VARIANT* get() const { return &value_; }
  VARIANT* reset() {
    VariantClear(&value_);
    return &value_;
  }
  // The value's text when it is a string (a null BSTR is ""), else "".
  std::wstring as_text() const;

private:
  VARIANT value_{};  // zeroed, so a bare type tag reads as that type's zero
};

// "VT_BSTR \"text\"" (UTF-8), "VT_BSTR null", "VT_BOOL -1", "VT_I4 5", "VT_EMPTY" and so on.
std::string describe(const VARIANT& value);

}  // namespace standin
