#include "common/system_message.h"

namespace ulvane {
namespace {

constexpr DWORD kMessageBuffer = 256;

}  // namespace

std::string trim_message(std::string text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.'))
    text.pop_back();
  return text;
}

std::string system_message(DWORD code) {
  char text[kMessageBuffer] = "";
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                text, kMessageBuffer, nullptr);
  return trim_message(std::string(text, length));
}

}  // namespace ulvane
