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

}  // namespace ulvane::test
