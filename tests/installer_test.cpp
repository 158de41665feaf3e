// The example installer (examples/nsis), built by makensis and run silently as an
// installer author runs it: against a stand-in server on a machine with server
// configurations, and in the situations where it must stop; either way it leaves
// no plug-ins directory behind.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "support/example_machine.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"
#include "support/trace_lines.h"

using namespace ulvane::test;

namespace {

// Runs the installer program silently; checks that it leaves nothing behind, whatever
// its outcome.
Install run_installer(const std::string& program, const std::string& arguments) {
  ScratchDirectory logs;
  const auto before = temp_entries("ns*.tmp");
  std::string command = quoted(beside_this_program(program));
  command.append(" /S /LOG=").append(logs.file("install.log")).append(" ").append(arguments);
  ProcessResult result = run_process(command);
  // The plug-ins directory (nsXXXX.tmp) is deleted as the installer ends: Ulvane.dll
  // in it must have been unloaded.
  EXPECT_EQ(left_behind(before, temp_entries("ns*.tmp")), "");
  EXPECT_EQ(processes_named("ulvane-example-setup"), 0);
  return {result.exit_code, logs.read("install.log")};
}

Install install(const std::string& arguments) {
  return run_installer("ulvane-example-setup.exe", arguments);
}

// The text after "FAILED: " on the log's last line, without its line end.
std::string failed_line(const Install& run) {
  const std::size_t at = run.log.rfind("FAILED: ");
  if (at == std::string::npos) return "<no FAILED line>";
  return run.log.substr(at + 8, run.log.find("\r\n", at) - at - 8);
}

}  // namespace

TEST(ExampleInstaller, InstallsIntoTheFirstConfiguration) {
  StandinServer server;
  ScratchConfigurations registry;
  Configuration cache(registry, "CACHE", server.port_text());

  Install run = install("");
  ASSERT_EQ(run.exit_code, 0u) << run.log;
  EXPECT_NE(run.log.find("Configuration: CACHE\r\n"), std::string::npos) << run.log;
  EXPECT_EQ(run.log.find("FAILED"), std::string::npos) << run.log;
  EXPECT_EQ(run.log.substr(run.log.size() - 12), "Installed.\r\n") << run.log;

  expect_clean_install(server, cache);
}

// /ULVANETRACE=file: every call the install makes is in that file as it was made, and
// the install is the same.
TEST(ExampleInstaller, TracesItsCallsWhenAsked) {
  // Last, the call that unloads the DLL.
  expect_traced_install(
      install, [](const std::string& file) { return "/ULVANETRACE=" + file; }, "Sleep\t0\t0\t\n");
}

TEST(ExampleInstaller, TakesTheConfigurationNamedOnTheCommandLine) {
  StandinServer server;
  ScratchConfigurations registry;
  Configuration first(registry, "ALPHA", server.port_text());
  Configuration chosen(registry, "BETA", server.port_text());

  Install run = install("/CONFIG=BETA");
  ASSERT_EQ(run.exit_code, 0u) << run.log;
  EXPECT_EQ(chosen.dir.read("cache.cpf"), configuration_file(server.port_text(), true));
  EXPECT_EQ(first.dir.read("cache.cpf"), configuration_file(server.port_text(), false));
  EXPECT_EQ(server.routine("ULV", "ULVAPI"), example_file("routines/ULVAPI.rtn"));
  EXPECT_EQ(server.journal().find(first.dir.path()), std::string::npos);
}

// Each way the install must stop: exit code 2, the reason last in the log, and
// nothing written before the server has answered.
TEST(ExampleInstaller, StopsWithTheReason) {
  expect_stops(2, install, [](const StopCase& row, const Install& run, const Configuration*) {
    EXPECT_EQ(failed_line(run).substr(0, row.reason.size()), row.reason) << row.label << ": " << run.log;
    EXPECT_TRUE(run.log.ends_with(failed_line(run) + "\r\n")) << row.label << ", not last: " << run.log;
  });
}

// A failed call stops the install with the DLL's own reason (GetLastFailure), which the
// return value does not carry: the failure the trace records for the server's last
// answer, in every wait and in the message the install ends with; GetCachePort's reason
// for a port that is no number.
TEST(ExampleInstaller, StopsWithTheReasonTheDllGives) {
  StandinServer down;
  const std::string port = down.port_text();
  down.stop();
  {
    ScratchConfigurations registry;
    Configuration cache(registry, "CACHE", port);
    ScratchDirectory traces;
    const std::string trace = traces.file("install.trace");

    Install run = install("/ULVANETRACE=" + trace);
    EXPECT_EQ(run.exit_code, 2u) << run.log;
    std::string failure;
    for (const TraceLine& line : read_trace(trace).calls)
      if (line.field(kExport) == "Call") failure = line.field(kFailure);
    const std::string prefix = "The server at 127.0.0.1 port " + port + " does not answer in namespace %SYS: ";
    const std::string line = failed_line(run);
    ASSERT_EQ(line.substr(0, prefix.size()), prefix) << run.log;
    const std::string reason = line.substr(prefix.size());
    EXPECT_NE(reason, "");
    EXPECT_EQ(trace_text(reason), failure) << run.log;
    EXPECT_EQ(occurrences(run.log, "(attempt 1 of 3): " + reason + "\r\n"), 1u) << run.log;
    EXPECT_EQ(occurrences(run.log, "(attempt 2 of 3): " + reason + "\r\n"), 1u) << run.log;
  }
  {
    ScratchConfigurations registry;
    Configuration cache(registry, "CACHE", "none");
    const std::string cpf = cache.dir.file("cache.cpf");

    Install run = install("");
    EXPECT_EQ(run.exit_code, 2u) << run.log;
    EXPECT_EQ(failed_line(run), "No server port in " + cpf + ": 'none' is not a valid integer value "
                                "(DefaultPort in section Startup of " + cpf + ")");
  }
}

// System answers "error" for a DLL it cannot call: the installer stops at its first
// call and says why, and never takes "error" for a configuration's name. (Built here
// around a file that is no DLL; the usual case, the 64-bit DLL in a 32-bit installer,
// needs a 32-bit installer, which a machine that runs 64-bit code only cannot run.)
TEST(ExampleInstaller, StopsWhenTheDllDoesNotLoad) {
  StandinServer server;
  ScratchConfigurations registry;
  Configuration cache(registry, "CACHE", server.port_text());

  Install run = run_installer("ulvane-example-setup-without-dll.exe", "");
  EXPECT_EQ(run.exit_code, 2u) << run.log;
  const std::string bits = sizeof(void*) == 8 ? "64" : "32";
  EXPECT_NE(
      run.log.find("\r\nFAILED: Cannot call Ulvane.dll: it did not load, or lacks GetLastFailure (this " +
                   bits + "-bit installer needs the " + bits + "-bit Ulvane.dll)\r\n"),
      std::string::npos)
      << run.log;
  EXPECT_EQ(run.log.find("Found configuration"), std::string::npos) << run.log;
  EXPECT_EQ(cache.dir.read("cache.cpf"), configuration_file(server.port_text(), false));
}
