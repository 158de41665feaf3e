#include "server_file.h"

#include <windows.h>

namespace ulvane::call {
namespace {

bool is_file(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::string local_server_file(const std::string& command_line) {
  if (!command_line.empty() && command_line.front() == '"')
    return command_line.substr(1, command_line.find('"', 1) - 1);
  // As CreateProcess reads an unquoted command line: each space may end the program's path.
  for (std::size_t end = command_line.find(' '); end != std::string::npos; end = command_line.find(' ', end + 1)) {
    const std::string words = command_line.substr(0, end);
    if (is_file(words)) return words;
    if (is_file(words + ".exe")) return words + ".exe";
  }
  if (!is_file(command_line) && is_file(command_line + ".exe")) return command_line + ".exe";
  return command_line;
}

}  // namespace ulvane::call
