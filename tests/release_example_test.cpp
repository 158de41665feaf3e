// The plain C example as the release ships it: built from the archive against the
// archive's header alone, with the archive's DLL beside it (ULVANE_RELEASE_EXAMPLE
// names that program), run on a machine with a configuration and a server.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/shared_texts.h"
#include "support/standin_server.h"

using namespace ulvane::test;

namespace {

const std::string kRoutine = "ULVEXAMPLE\r\n W \"example\",!\r\n Q\r\n";
const std::string kInstallRoutine = "ULVINST\r\n Q\r\n";

std::string example_program() {
  const char* path = std::getenv("ULVANE_RELEASE_EXAMPLE");
  return path ? path : "";
}

struct Machine {
  explicit Machine(const std::string& port) {
    registry.set_text("CACHE", "Directory", dir.path() + "\\");
    cpf = dir.write("cache.cpf",
                    crlf_lines({"[Startup]", "DefaultPort=" + port, "[Namespaces]", "Nsp_1=%SYS,CACHESYS",
                                "[CSP.Applications]", "CSPApp_1=/csp/sys,%SYS"}));
    registry.set_text("CACHE", "Properties", cpf);
  }
  ScratchConfigurations registry;
  ScratchDirectory dir;
  std::string cpf;
};

ProcessResult run_example(const std::string& arguments) {
  ProcessResult result = run_process(quoted(example_program()) + " " + arguments);
  std::erase(result.out, '\r');
  std::erase(result.err, '\r');
  return result;
}

}  // namespace

TEST(ReleaseExample, InstallsWithEveryExport) {
  ASSERT_FALSE(example_program().empty()) << "ULVANE_RELEASE_EXAMPLE names no program";
  StandinServer server;
  Machine machine(server.port_text());
  const std::string routine_file = server.write_file("ULVEXAMPLE.rtn", kRoutine);
  const std::string install_file = server.write_file("ulvinst.rtn", kInstallRoutine);

  ProcessResult result = run_example(quoted(routine_file) + " " + quoted(install_file) + " CACHE");
  EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("Port: " + server.port_text() + "\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Server: Ulvane stand-in server 1.0\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Installed.\n"), std::string::npos) << result.out;

  const std::string cpf = machine.dir.read("cache.cpf");
  EXPECT_NE(cpf.find("Nsp_2=" + kNsp + "\r\n"), std::string::npos) << cpf;
  EXPECT_NE(cpf.find("CSPApp_2=" + kApp + "\r\n"), std::string::npos) << cpf;
  EXPECT_EQ(server.routine("ULV", "ULVEXAMPLE"), kRoutine);
  EXPECT_EQ(server.routine("%SYS", "QUMAINST"), kInstallRoutine);
}

TEST(ReleaseExample, StopsWithTheFailedStep) {
  ASSERT_FALSE(example_program().empty()) << "ULVANE_RELEASE_EXAMPLE names no program";
  const ClosedPort closed;
  const std::string& down = closed.text();
  Machine machine(down);

  ProcessResult unknown = run_example("x.rtn y.rtn NOPE");
  EXPECT_EQ(unknown.exit_code, 1u);
  EXPECT_EQ(unknown.err, "FAILED: configuration: NOPE\n");

  ProcessResult no_server = run_example("x.rtn y.rtn CACHE");
  EXPECT_EQ(no_server.exit_code, 1u);
  EXPECT_EQ(no_server.err.rfind("FAILED: the server does not answer in %SYS: ", 0), 0u) << no_server.err;
  EXPECT_NE(no_server.err.find(down), std::string::npos) << no_server.err;
  EXPECT_EQ(machine.dir.read("cache.cpf").find("ULV"), std::string::npos) << "registered without a server";

  EXPECT_EQ(run_example("").exit_code, 2u);
}

// A directory or configuration file path longer than the example's buffers (MAX_PATH
// with its NUL) stops it: a path cut short names another file, which it would write.
TEST(ReleaseExample, StopsAtAPathTooLongForIt) {
  ASSERT_FALSE(example_program().empty()) << "ULVANE_RELEASE_EXAMPLE names no program";
  const ClosedPort closed;
  Machine machine(closed.text());
  const std::string longest(MAX_PATH - 1, 'd');
  const std::string too_long(MAX_PATH, 'd');
  machine.registry.set_text("LONGEST", "Directory", longest);
  machine.registry.set_text("LONGEST", "Properties", machine.cpf);
  machine.registry.set_text("LONGDIR", "Directory", too_long);
  machine.registry.set_text("LONGDIR", "Properties", machine.cpf);
  machine.registry.set_text("LONGCPF", "Directory", machine.dir.path());
  machine.registry.set_text("LONGCPF", "Properties", machine.cpf + std::string(MAX_PATH, 'x'));
  struct Row {
    const char* config;
    std::string err;  // how it starts
  };
  const Row rows[] = {
      {"LONGEST", "FAILED: the server does not answer in %SYS: "},
      {"LONGDIR", "FAILED: configuration: its directory is longer than this program takes\n"},
      {"LONGCPF", "FAILED: configuration: its configuration file's path is longer than this program takes\n"},
  };
  for (const Row& row : rows) {
    ProcessResult result = run_example(std::string("x.rtn y.rtn ") + row.config);
    EXPECT_EQ(result.exit_code, 1u) << row.config;
    EXPECT_EQ(result.err.substr(0, row.err.size()), row.err) << row.config << ": " << result.err;
  }
  EXPECT_EQ(machine.dir.read("cache.cpf").find("ULV"), std::string::npos) << "registered";
}
