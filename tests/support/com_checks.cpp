#include "support/com_checks.h"

#include <cstdio>

namespace ulvane::test {

std::string system_text(HRESULT code) {
  char text[256] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (static_cast<unsigned char>(message.back()) <= 32 || message.back() == '.'))
    message.pop_back();
  return message;
}

std::string code_failure_message(HRESULT code) {
  std::string message = system_text(code);
  if (!message.empty()) return message;
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "OLE error %.8lX", static_cast<unsigned long>(code));
  return fallback;
}

int current_apartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? int(type) : -1;
}

}  // namespace ulvane::test
