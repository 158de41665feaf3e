#include "server/com_error.h"

#include <cstdio>

#include "common/system_message.h"
#include "common/text.h"

namespace ulvane::server {

std::string code_message(HRESULT code) {
  std::string message = system_message(static_cast<DWORD>(code));
  if (!message.empty()) return message;
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "OLE error %.8lX", static_cast<unsigned long>(code));
  return fallback;
}

std::string invoke_message(HRESULT result, const EXCEPINFO& exception) {
  if (result != DISP_E_EXCEPTION) return code_message(result);
  std::string message = trim_message(to_ansi(exception.bstrDescription));
  if (!message.empty()) return message;
  if (exception.scode != 0) return code_message(exception.scode);
  // A record may carry its code in wCode instead of scode. Such codes belong to the
  // control, not to the system, and the codes they are usually mapped to (0x80040200
  // and up) would fetch system texts about connection points; so the message names
  // the code as Microsoft's compiler COM support (_com_error) does.
  if (exception.wCode != 0) return "IDispatch error #" + std::to_string(exception.wCode);
  return code_message(result);
}

}  // namespace ulvane::server
