#include "server/com_error.h"

#include <windows.h>

#include <cstdio>

#include "common/text.h"

namespace ulvane::server {
namespace {

constexpr DWORD kMessageBuffer = 256;

// Trailing blanks, control characters and full stops go, one by one.
std::string trimmed(std::string text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.'))
    text.pop_back();
  return text;
}

}  // namespace

std::string code_message(HRESULT code) {
  char text[kMessageBuffer] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, text, kMessageBuffer, nullptr);
  std::string message = trimmed(std::string(text, length));
  if (!message.empty()) return message;
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "OLE error %.8lX", static_cast<unsigned long>(code));
  return fallback;
}

std::string invoke_message(HRESULT result, const EXCEPINFO& exception) {
  if (result != DISP_E_EXCEPTION) return code_message(result);
  std::string message = trimmed(to_ansi(exception.bstrDescription));
  if (!message.empty()) return message;
  return code_message(exception.scode != 0 ? exception.scode : result);
}

}  // namespace ulvane::server
