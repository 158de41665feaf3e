// The file a registered COM server names, found as the system finds it.
#pragma once

#include <string>

namespace ulvane::call {

// The file of a LocalServer32 value, a command line: a quoted path, or else the
// shortest run of leading words that names an existing file, tried as is and with
// ".exe" (so "C:\x\srv.exe /automation" and an unquoted path with spaces both work).
// The whole value when no run names a file.
std::string local_server_file(const std::string& command_line);

}  // namespace ulvane::call
