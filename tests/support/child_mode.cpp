#include "support/child_mode.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "support/process.h"

namespace ulvane::test {

int run_child_or_tests(int argc, char** argv, const std::vector<ChildMode>& modes) {
  if (argc >= 2)
    for (const ChildMode& mode : modes)
      if (mode.name == argv[1]) {
        const int status = mode.run(std::vector<std::string>(argv + 2, argv + argc));
        // Outside a test GoogleTest keeps a failed expectation aside: it must still fail the child.
        return status == 0 && ::testing::UnitTest::GetInstance()->Failed() ? 1 : status;
      }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

std::string child_command(const std::string& mode, const std::vector<std::string>& arguments) {
  char program[MAX_PATH] = "";
  std::string line = quoted(std::string(program, GetModuleFileNameA(nullptr, program, MAX_PATH)));
  line.append(" ").append(mode);
  for (const std::string& argument : arguments) line.append(" ").append(quoted(argument));
  return line;
}

}  // namespace ulvane::test
