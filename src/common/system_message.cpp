#include "common/system_message.h"

#include <string>

#include "common/owner.h"

namespace ulvane {

std::string trim_message(std::string text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.'))
    text.pop_back();
  return text;
}

std::string system_message(DWORD code) {
  // The system sizes the buffer to the text: a fixed one would make a longer text
  // fail as a whole (ERROR_INSUFFICIENT_BUFFER), not come back cut.
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  LocalMemory owned(text);
  if (!text || length == 0) return "";
  return trim_message(std::string(text, length));
}

std::string system_reason(DWORD code) {
  std::string text = system_message(code);
  return text.empty() ? "error " + std::to_string(code) : text;
}

}  // namespace ulvane
