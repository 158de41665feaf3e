// The Inno Setup example installer (examples/inno), compiled by ISCC and run as a
// silent install under Wine, as an installer author runs it: what reached the
// server and the configuration file, how it stops, and that Setup leaves no
// temporary directory and no process behind.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>

#include "support/example_machine.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"

using namespace ulvane::test;

namespace {

const std::string kSetupName = "ulvane-inno-example-setup";

// The temporary directory Setup says it made, from its log.
std::string setup_temp_directory(const std::string& log) {
  const std::string mark = "temporary directory: ";
  const std::size_t at = log.find(mark);
  if (at == std::string::npos) return "";
  const std::size_t start = at + mark.size();
  return log.substr(start, log.find_first_of("\r\n", start) - start);
}

// Runs the setup silently; checks that it leaves nothing behind, whatever its outcome.
Install install(const std::string& arguments) {
  ScratchDirectory logs;
  const auto before = temp_entries("is-*.tmp");
  std::string command = quoted(beside_this_program(kSetupName + ".exe"));
  command.append(" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /LOG=").append(quoted(logs.file("setup.log")));
  command.append(" ").append(arguments);
  ProcessResult result = run_process(command);
  Install run{result.exit_code, logs.read("setup.log")};

  // The setup loader and Setup itself each work in an is-XXXXX.tmp directory of
  // their own, which they delete as they end: Ulvane.dll among them must be unloaded.
  char temp[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, temp);
  const std::string logged = setup_temp_directory(run.log);
  EXPECT_EQ(logged.rfind(std::string(temp) + "is-", 0), 0u) << logged << "\n" << run.log;
  EXPECT_EQ(GetFileAttributesA(logged.c_str()), INVALID_FILE_ATTRIBUTES) << logged << " is left";
  EXPECT_EQ(left_behind(before, temp_entries("is-*.tmp")), "");
  EXPECT_EQ(processes_named(kSetupName), 0);
  return run;
}

}  // namespace

TEST(InnoExampleInstaller, InstallsIntoTheConfigurationNamedOnTheCommandLine) {
  StandinServer server;
  ScratchConfigurations registry;
  Configuration first(registry, "ALPHA", server.port_text());
  Configuration cache(registry, "CACHE", server.port_text());

  Install run = install("/CONFIG=CACHE");
  ASSERT_EQ(run.exit_code, 0u) << run.log;
  EXPECT_NE(run.log.find("Found configuration ALPHA\r\n"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("Configuration: CACHE\r\n"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("Installed.\r\n"), std::string::npos) << run.log;
  EXPECT_EQ(run.log.find("FAILED"), std::string::npos) << run.log;

  expect_clean_install(server, cache);
  EXPECT_EQ(first.dir.read("cache.cpf"), configuration_file(server.port_text(), false));
}

// /ULVANETRACE=file: every call the install makes is in that file as it was made, and
// the install is the same.
TEST(InnoExampleInstaller, TracesItsCallsWhenAsked) {
  expect_traced_install(
      install, [](const std::string& file) { return "/ULVANETRACE=" + quoted(file); }, "");
}

// Each way the install must stop: exit code 7, the reason in the log, and nothing
// written or installed before the server has answered.
TEST(InnoExampleInstaller, StopsWithTheReason) {
  expect_stops(7, install, [](const StopCase& row, const Install& run, const Configuration* cache) {
    EXPECT_EQ(occurrences(run.log, "FAILED: "), 1u) << row.label << ": " << run.log;
    EXPECT_EQ(run.log.find("Installed."), std::string::npos) << row.label;
    if (cache) {
      EXPECT_EQ(read_file(cache->install_dir() + "\\index.csp").has_value(), row.past_files) << row.label;
    }
  });
}
