#include "system_message.h"

namespace ulvane::call {

std::string system_message(DWORD code) {
  char text[512] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.'))
    --length;
  std::string message = "error ";
  return length ? std::string(text, length) : message.append(std::to_string(code));
}

}  // namespace ulvane::call
