#include "support/com_checks.h"

#include "common/system_message.h"

namespace ulvane::test {

std::string system_text(HRESULT code) {
  return ulvane::system_message(static_cast<DWORD>(code));
}

int current_apartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? int(type) : -1;
}

}  // namespace ulvane::test
