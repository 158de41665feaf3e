// Test programs that start themselves again to do one job in a process of their own
// (a writer beside others, a host that has loaded what cannot be unloaded): main
// looks at the arguments before GoogleTest does, and `program MODE ARG...` runs the
// job and exits with its status, as Wine's conformance tests start their children.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ulvane::test {

struct ChildMode {
  std::string name;  // the first argument that chooses it
  // Gets the arguments after the name and returns the exit status. It may use
  // GoogleTest expectations: a failed one is printed and makes the status 1.
  std::function<int(const std::vector<std::string>& arguments)> run;
};

// A test program's main: the mode its first argument names, or else its tests.
int run_child_or_tests(int argc, char** argv, const std::vector<ChildMode>& modes);

// The command line that starts this program in mode, each argument quoted.
std::string child_command(const std::string& mode, const std::vector<std::string>& arguments = {});

}  // namespace ulvane::test
