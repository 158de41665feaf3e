// The example installer (examples/nsis), built by makensis and run silently as an
// installer author runs it: against a stand-in server on a machine with server
// configurations, and in the situations where it must stop.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"

using namespace ulvane::test;

namespace {

const std::string kNsp = "Nsp_4=ULV,CACHELIB,CACHESYS,CACHELIB,CACHESYS,CACHELIB,CACHETEMP";
const std::string kApp = "CSPApp_3=/csp/ulv,ulv,1,1,%ulv.event,900,1,,ULV,0,,/csp/ulv/error.csp,%ulv,,0";

std::string quoted(const std::string& text) {
  std::string result(1, '"');
  return result.append(text).append(1, '"');
}

std::string example_file(const std::string& relative) {
  std::string path = ULVANE_EXAMPLES;
  return read_file(path.append("/").append(relative)).value_or("<missing " + relative + ">");
}

// The product's routines shipped in examples/routines (all but the install routine), by name.
std::vector<std::string> shipped_routines() {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  std::string pattern = ULVANE_EXAMPLES;
  HANDLE search = FindFirstFileA(pattern.append("/routines/*.rtn").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = found.cFileName;
    if (name != "ulvinst.rtn") names.push_back(name.substr(0, name.size() - 4));
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

// A configuration file as a server writes it, with entries that are not ours.
// With the product's two entries when registered.
std::string configuration_file(const std::string& port, bool registered) {
  std::string text =
      crlf_lines({"[ConfigFile]", "Product=0", "Version=2018.1", "[Startup]", "DefaultPort=" + port,
                  "WebServerPort=57772", "; the system manager's note", "[Databases]",
                  "CACHESYS=C:\\InterSystems\\Cache\\mgr\\", "USER=C:\\InterSystems\\Cache\\mgr\\user\\",
                  "[Namespaces]", "Nsp_1=%SYS,CACHESYS,CACHESYS,CACHELIB,CACHESYS,CACHELIB,CACHETEMP",
                  "Nsp_2=USER,USER,USER,CACHELIB,CACHESYS,CACHELIB,CACHETEMP",
                  "Nsp_3=SAMPLES,SAMPLES,SAMPLES,CACHELIB,CACHESYS,CACHELIB,CACHETEMP"});
  if (registered) text.append(kNsp).append("\r\n");
  text.append(crlf_lines({"[CSP.Applications]", "CSPApp_1=/csp/sys,%SYS,1,1,,900,1,,%SYS,0",
                          "CSPApp_2=/csp/user,USER,1,1,,900,1,,USER,0"}));
  if (registered) text.append(kApp).append("\r\n");
  return text.append(crlf_lines({"[Devices]", "47=47,SDP"}));
}

// One server configuration named name, its directory a scratch directory holding its file.
struct Configuration {
  Configuration(ScratchConfigurations& registry, const std::string& name, const std::string& port) {
    registry.set_text(name, "Directory", dir.path() + "\\");
    registry.set_text(name, "Properties", dir.write("cache.cpf", configuration_file(port, false)));
  }
  std::string install_dir() const { return dir.path() + "\\CSP\\ulv"; }
  std::string routine_file(const std::string& name) const { return install_dir() + "\\routines\\" + name; }

  ScratchDirectory dir;
};

struct Install {
  unsigned long exit_code;
  std::string log;
};

Install install(const std::string& arguments) {
  ScratchDirectory logs;
  std::string command = quoted(beside_this_program("ulvane-example-setup.exe"));
  command.append(" /S /LOG=").append(logs.file("install.log")).append(" ").append(arguments);
  ProcessResult result = run_process(command);
  return {result.exit_code, logs.read("install.log")};
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

  auto load = [&](const std::string& file, const std::string& routine) {
    return "S F=\"" + cache.routine_file(file) + "\" O F U F ZL  ZS " + routine + " C F\n";
  };
  EXPECT_EQ(server.journal(),
            "%SYS\tS P1=$NAMESPACE\n"
            "%SYS\tS P1=$ZV\n"
            "ULV\tS P1=$NAMESPACE\n"
            "ULV\t" +
                load("ULVAPI.rtn", "ULVAPI") + "ULV\t" + load("ULVWEB.rtn", "ULVWEB") +
                "%SYS\tZN \"%SYS\"\n"
                "%SYS\t" +
                load("ulvinst.rtn", "QUMAINST") +
                "ULV\tS P1=$NAMESPACE_\":\"_($D(^ROUTINE(\"ULVAPI\"))>0)\n"
                "ULV\tS P1=$NAMESPACE_\":\"_($D(^ROUTINE(\"ULVWEB\"))>0)\n"
                "%SYS\tS P1=$NAMESPACE_\":\"_($D(^ROUTINE(\"QUMAINST\"))>0)\n");

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
