// ulvane-call.exe, run as a person runs it: output, errors and exit codes.
#include <gtest/gtest.h>

#include <string>

#include "support/library.h"
#include "support/process.h"
#include "support/scratch_registry.h"

using namespace ulvane::test;

namespace {

std::string quoted(const std::string& path) {
  std::string text(1, '"');
  return text.append(path).append(1, '"');
}

ProcessResult call_tool(const std::string& arguments) {
  return run_process(quoted(beside_this_program("ulvane-call.exe")) + " " + arguments);
}

}  // namespace

TEST(CallTool, PrintsResultsVerbatim) {
  ScratchConfigurations registry;
  registry.set_text("A", "Directory", "C:\\A dir\\");
  registry.add("B");
  struct Row {
    std::string arguments;
    const char* out;
  };
  const Row rows[] = {
      {"GetCacheConfig", "A\r\nB\n"},
      {"GetCacheDir A", "C:\\A dir\\\n"},
      {"GetCacheDir --null", "\n"},
      {"Sleep 0", "0\n"},
      {"Sleep 0x10", "0\n"},
      {"--dll " + quoted(beside_this_program("Ulvane.dll")) + " GetCacheDir A", "C:\\A dir\\\n"},
  };
  for (const Row& row : rows) {
    ProcessResult result = call_tool(row.arguments);
    EXPECT_EQ(result.exit_code, 0u) << row.arguments << ": " << result.err;
    EXPECT_EQ(result.out, row.out) << row.arguments;
    EXPECT_EQ(result.err, "") << row.arguments;
  }
}

TEST(CallTool, RejectsMisuseWithExitCodeTwo) {
  struct Row {
    const char* arguments;
    const char* message;
  };
  const Row rows[] = {
      {"", "no export named"},
      {"NoSuchExport", "unknown export 'NoSuchExport'"},
      {"GetCacheDir", "GetCacheDir takes 1 argument(s) (CONFIG), 0 given"},
      {"GetCacheConfig extra", "GetCacheConfig takes 0 argument(s) (), 1 given"},
      {"Sleep ten", "'ten' is not an integer"},
      {"doctor A B", "doctor takes 0 or 1 argument(s) ([CONFIG]), 2 given"},
      {"--dll", "--dll needs a path"},
      {"--dll C:\\nowhere\\Ulvane.dll Sleep 0", "cannot load 'C:\\nowhere\\Ulvane.dll'"},
  };
  for (const Row& row : rows) {
    ProcessResult result = call_tool(row.arguments);
    EXPECT_EQ(result.exit_code, 2u) << row.arguments;
    EXPECT_NE(result.err.find(row.message), std::string::npos) << row.arguments << ": " << result.err;
    EXPECT_EQ(result.out, "") << row.arguments;
  }
}
