// Text between the library's ANSI strings and COM's UTF-16 strings, in the
// system ANSI code page.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace ulvane {

// Owner of a BSTR; the empty text is the null BSTR.
class Bstr {
public:
  Bstr() = default;
  explicit Bstr(BSTR owned) : text_(owned) {}
  Bstr(Bstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    std::swap(text_, other.text_);
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(text_); }

  BSTR get() const { return text_; }
  BSTR release() { return std::exchange(text_, nullptr); }

private:
  BSTR text_ = nullptr;
};

// std::bad_alloc when memory runs out.
Bstr to_bstr(const std::string& ansi);
std::string to_ansi(const wchar_t* text, std::size_t length);
inline std::string to_ansi(BSTR text) {
  return text ? to_ansi(text, SysStringLen(text)) : std::string();
}

}  // namespace ulvane
