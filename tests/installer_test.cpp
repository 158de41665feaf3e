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

using namespace ulvane::test;

namespace {

struct Install {
  unsigned long exit_code;
  std::string log;
};

// Runs the installer silently; checks that it leaves nothing behind, whatever its outcome.
Install install(const std::string& arguments) {
  ScratchDirectory logs;
  const auto before = temp_entries("ns*.tmp");
  std::string command = quoted(beside_this_program("ulvane-example-setup.exe"));
  command.append(" /S /LOG=").append(logs.file("install.log")).append(" ").append(arguments);
  ProcessResult result = run_process(command);
  // The plug-ins directory (nsXXXX.tmp) is deleted as the installer ends: Ulvane.dll
  // in it must have been unloaded.
  EXPECT_EQ(left_behind(before, temp_entries("ns*.tmp")), "");
  return {result.exit_code, logs.read("install.log")};
}

std::string routine_defined(const std::string& routine) {
  return "$D(^ROUTINE(\"" + routine + "\"))";
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

  EXPECT_EQ(cache.dir.read("cache.cpf"), configuration_file(server.port_text(), true));

  EXPECT_EQ(server.journal(), clean_install_journal(cache, routine_defined));

  // Every routine file shipped is loaded, so a file added without its line in the script shows here.
  const std::vector<std::string> shipped = shipped_routines();
  EXPECT_FALSE(shipped.empty());
  for (const std::string& name : shipped)
    EXPECT_EQ(server.routine("ULV", name), example_file("routines/" + name + ".rtn")) << name;
  EXPECT_EQ(server.routine("%SYS", "QUMAINST"), example_file("routines/ulvinst.rtn"));
  EXPECT_EQ(read_file(cache.install_dir() + "\\index.csp"), example_file("nsis/web/index.csp"));
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
  StandinServer down;
  const std::string down_port = down.port_text();
  down.stop();
  StandinServer without_ulv({.namespaces = {"USER", "%SYS"}});

  struct Row {
    const char* label;
    std::string port;  // empty: no configuration at all
    const char* arguments;
    std::string reason;
    int waits;        // pauses before giving up on the server
    bool registered;  // whether the configuration file has the entries afterwards
  };
  const Row rows[] = {
      {"no configuration", "", "", "No InterSystems Cache configuration is installed on this machine", 0,
       false},
      {"unknown name", down_port, "/CONFIG=NOPE", "There is no configuration named NOPE", 0, false},
      {"no port", "none", "", "No server port in ", 0, false},
      {"server down", down_port, "",
       "The server at 127.0.0.1 port " + down_port + " does not answer in namespace %SYS: cannot connect to",
       2, false},
      {"namespace missing", without_ulv.port_text(), "",
       "The server at 127.0.0.1 port " + without_ulv.port_text() + " does not answer in namespace ULV: USER",
       2, true},
  };
  for (const Row& row : rows) {
    ScratchConfigurations registry;
    std::optional<Configuration> cache;
    if (!row.port.empty()) cache.emplace(registry, "CACHE", row.port);

    Install run = install(row.arguments);
    EXPECT_EQ(run.exit_code, 2u) << row.label;
    const std::size_t at = run.log.rfind("FAILED: ");
    const std::string last_line = at == std::string::npos ? "" : run.log.substr(at + 8);
    EXPECT_EQ(last_line.substr(0, row.reason.size()), row.reason) << row.label << ": " << run.log;
    EXPECT_EQ(last_line.find("\r\n"), last_line.size() - 2) << row.label << ": " << run.log;
    int waits = 0;
    for (std::size_t w = run.log.find("Waiting for"); w != std::string::npos;
         w = run.log.find("Waiting for", w + 1))
      ++waits;
    EXPECT_EQ(waits, row.waits) << row.label << ": " << run.log;
    if (cache) {
      EXPECT_EQ(cache->dir.read("cache.cpf"), configuration_file(row.port, row.registered)) << row.label;
    }
  }
  EXPECT_EQ(without_ulv.routine("USER", "ULVAPI"), std::nullopt);
}
