#include "support/com_checks.h"

#include <cstdio>

#include "common/system_message.h"

namespace ulvane::test {

std::string system_text(HRESULT code) {
  return ulvane::system_message(static_cast<DWORD>(code));
}

std::string code_text(HRESULT code) {
  std::string text = system_text(code);
  if (!text.empty()) return text;
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "OLE error %08lX", static_cast<unsigned long>(code));
  return fallback;
}

int current_apartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? int(type) : -1;
}

}  // namespace ulvane::test
