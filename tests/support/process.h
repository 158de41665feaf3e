// Runs a Windows program to its end and captures what it printed.
#pragma once

#include <optional>
#include <string>

namespace ulvane::test {

struct ProcessResult {
  unsigned long exit_code = 0;
  std::string out;
  std::string err;
};

// In directory when one is given, else in this process's current directory.
ProcessResult run_process(const std::string& command_line, const std::string& directory = "");

// The text in double quotes, as one argument of a command line.
std::string quoted(const std::string& text);

// Sets a variable of this process's environment, which the programs it starts
// inherit (null: removes it), and puts the old value back when it goes.
class ScopedEnvironment {
public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace ulvane::test
