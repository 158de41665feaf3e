// Runs a Windows program to its end and captures what it printed.
#pragma once

#include <string>

namespace ulvane::test {

struct ProcessResult {
  unsigned long exit_code = 0;
  std::string out;
  std::string err;
};

ProcessResult run_process(const std::string& command_line);

// The text in double quotes, as one argument of a command line.
std::string quoted(const std::string& text);

}  // namespace ulvane::test
