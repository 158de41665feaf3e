// The example package (examples/msi), built by wixl and run silently by Windows
// Installer (msiexec) with a verbose log, as a software distribution system runs it:
// against a stand-in server on a machine with server configurations, and in the
// situations where it must stop. Either way the installer leaves no copy of
// UlvaneMsi.dll behind, and a stopped install leaves no product installed.
#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <optional>
#include <string>

#include "support/example_machine.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"
#include "support/trace_lines.h"

using namespace ulvane::test;

namespace {

constexpr unsigned long kInstallFailure = ERROR_INSTALL_FAILURE;  // 1603
const std::string kArchitecture = sizeof(void*) == 8 ? "x64" : "x86";

std::string package(const std::string& name) {
  return beside_this_program(name + "-" + kArchitecture + ".msi");
}

// Runs msiexec with the option (/i or /x), the package and the properties, silently and
// with a verbose log; the log comes back with LF line ends.
Install msiexec(const std::string& option, const std::string& msi, const std::string& properties = "") {
  ScratchDirectory logs;
  // The installer runs each custom action DLL from a copy of its own in the temporary folder.
  const auto before = temp_entries("msi*");
  const ProcessResult result = run_process("msiexec " + option + " " + quoted(msi) + " /qn /l*v " +
                                            quoted(logs.file("msi.log")) + " " + properties);
  EXPECT_EQ(left_behind(before, temp_entries("msi*")), "");
  std::string log = logs.read("msi.log");
  for (std::size_t at = log.find("\r\n"); at != std::string::npos; at = log.find("\r\n", at)) log.erase(at, 1);
  return {result.exit_code, log};
}

Install install(const std::string& properties = "") {
  return msiexec("/i", package("ulvane-example"), properties);
}

// The configuration the example product records as installed into (in the registry
// view of the package, 32-bit), or nothing.
std::optional<std::string> remembered_configuration() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Ulvane\\Example", 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) !=
      ERROR_SUCCESS)
    return std::nullopt;
  char value[256] = "";
  DWORD size = sizeof value - 1;
  const LSTATUS status =
      RegQueryValueExA(key, "Configuration", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return std::string(value);
}

// Removes the example product, which must be installed, as the control panel does,
// with no properties; its files go, and what the install gave the server and the
// configuration file stays (the author's choice).
void uninstall(const Configuration& configuration) {
  const Install run = msiexec("/x", package("ulvane-example"));
  EXPECT_EQ(run.exit_code, 0u) << run.log;
  EXPECT_EQ(read_file(configuration.install_dir() + "\\index.csp"), std::nullopt);
  EXPECT_EQ(remembered_configuration(), std::nullopt);
}

// The lines the custom actions wrote, each after a line end.
std::string action_lines(const std::string& log) {
  std::string lines = "\n";
  for (std::size_t start = 0; start < log.size();) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    if (line.rfind("Ulvane", 0) == 0) lines.append(line).append("\n");
    start = end + 1;
  }
  return lines;
}

// The product code of the package name, which wixl makes anew for each build.
std::string product_code(const std::string& name) {
  MSIHANDLE database = 0, view = 0, record = 0;
  std::string code(39, '\0');
  DWORD length = static_cast<DWORD>(code.size());
  if (MsiOpenDatabaseA(package(name).c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS ||
      MsiDatabaseOpenViewA(database, "SELECT `Value` FROM `Property` WHERE `Property` = 'ProductCode'", &view) !=
          ERROR_SUCCESS ||
      MsiViewExecute(view, 0) != ERROR_SUCCESS || MsiViewFetch(view, &record) != ERROR_SUCCESS ||
      MsiRecordGetStringA(record, 1, code.data(), &length) != ERROR_SUCCESS)
    length = 0;
  for (MSIHANDLE handle : {record, view, database})
    if (handle) MsiCloseHandle(handle);
  code.resize(length);
  return code;
}

// Whether the installer has the product of the package name recorded as installed.
bool installed(const std::string& name = "ulvane-example") {
  const std::string code = product_code(name);
  EXPECT_NE(code, "");
  return MsiQueryProductStateA(code.c_str()) == INSTALLSTATE_DEFAULT;
}

}  // namespace

// Every step in the log, and on the machine the same as the NSIS example gives: the
// server's lines, the routines, the configuration file and the web page.
TEST(ExamplePackage, InstallsIntoTheFirstConfiguration) {
  StandinServer server;
  ScratchConfigurations registry;
  Configuration cache(registry, "CACHE", server.port_text());
  Configuration other(registry, "OTHER", server.port_text());
  const std::string cpf = cache.dir.file("cache.cpf");
  const std::string port = server.port_text();
  const std::string local = " at 127.0.0.1 port " + port;

  const Install run = install();
  ASSERT_EQ(run.exit_code, 0u) << run.log;
  EXPECT_EQ(action_lines(run.log),
            "\nUlvaneFindServer: found configuration CACHE, directory " + cache.dir.path() +
                "\\, configuration file " + cpf + ", port " + port + "\n" +
                "UlvaneCall: asked $NAMESPACE in namespace %SYS" + local + ", it answered \"%SYS\"\n" +
                "UlvaneCall: asked $ZV in namespace %SYS" + local + ", it answered \"Ulvane stand-in server 1.0\"\n" +
                "UlvaneRegister: registered the product's namespace and web application in " + cpf + "\n" +
                "UlvaneCall: asked $NAMESPACE in namespace ULV" + local + ", it answered \"ULV\"\n" +
                "UlvaneLoadRoutines: loaded routine ULVAPI into ULV from " + cache.routine_file("ULVAPI.rtn") +
                ", routine ULVWEB into ULV from " + cache.routine_file("ULVWEB.rtn") +
                ", the install routine into %SYS from " + cache.routine_file("ulvinst.rtn") + "," + local + "\n" +
                "UlvaneCall: asked " + load_check("ULVAPI") + " in namespace ULV" + local + ", it answered \"ULV:1\"\n" +
                "UlvaneCall: asked " + load_check("ULVWEB") + " in namespace ULV" + local + ", it answered \"ULV:1\"\n" +
                "UlvaneCall: asked " + load_check("QUMAINST") + " in namespace %SYS" + local +
                ", it answered \"%SYS:1\"\n");
  // The properties as the verbose log lists them at the end: what UlvaneFindServer
  // found, and the last immediate UlvaneCall's answer.
  for (const std::string& property :
       {std::string("ULVANE_CONFIGURATIONS = CACHE;OTHER"), std::string("ULVANE_CONFIG = CACHE"), "ULVANE_CACHEDIR = " + cache.dir.path() + "\\",
        "ULVANE_CPF = " + cpf, "ULVANE_PORT = " + port, std::string("ULVANE_ANSWER = Ulvane stand-in server 1.0")})
    EXPECT_NE(run.log.find("Property(S): " + property + "\n"), std::string::npos) << property;
  expect_clean_install(server, cache);
  EXPECT_EQ(other.dir.read("cache.cpf"), configuration_file(port, false));
  EXPECT_EQ(names_matching(cache.dir.path() + "\\*"), (std::set<std::string>{"CSP", "cache.cpf"}));
  EXPECT_EQ(remembered_configuration(), "CACHE");

  // Again: the same steps, and the product is registered once.
  const std::string journal = server.journal();
  const Install again = install();
  EXPECT_EQ(again.exit_code, 0u) << again.log;
  EXPECT_EQ(action_lines(again.log), action_lines(run.log));
  EXPECT_EQ(cache.dir.read("cache.cpf"), configuration_file(port, true));
  EXPECT_EQ(server.journal(), journal + journal);

  uninstall(cache);
  EXPECT_EQ(cache.dir.read("cache.cpf"), configuration_file(port, true));
}

// With the property ULVANE_TRACE, which the example passes on to every action, the
// actions trace the library's calls as the NSIS example's trace shows them.
TEST(ExamplePackage, TracesItsCallsWhenAsked) {
  expect_traced_install(
      install, [](const std::string& trace) { return "ULVANE_TRACE=" + quoted(trace); }, "", false);
  // The configuration went with the test's machine: the removal finds none, and still
  // removes the product.
  EXPECT_EQ(msiexec("/x", package("ulvane-example")).exit_code, 0u);
  EXPECT_FALSE(installed());
}

// ULVANE_CONFIG names the configuration (in any case, as the registry does), and the
// product remembers it: a repair and a removal with no properties act on it too.
TEST(ExamplePackage, TakesTheConfigurationNamedInUlvaneConfig) {
  StandinServer server;
  ScratchConfigurations registry;
  Configuration first(registry, "ALPHA", server.port_text());
  Configuration chosen(registry, "BETA", server.port_text());

  const Install run = install("ULVANE_CONFIG=beta");
  ASSERT_EQ(run.exit_code, 0u) << run.log;
  EXPECT_EQ(chosen.dir.read("cache.cpf"), configuration_file(server.port_text(), true));
  EXPECT_EQ(first.dir.read("cache.cpf"), configuration_file(server.port_text(), false));
  EXPECT_EQ(server.routine("ULV", "ULVAPI"), example_file("routines/ULVAPI.rtn"));
  EXPECT_EQ(read_file(chosen.install_dir() + "\\index.csp"), example_file("web/index.csp"));
  EXPECT_EQ(remembered_configuration(), "BETA");

  const Install repair = install();
  EXPECT_EQ(repair.exit_code, 0u) << repair.log;
  EXPECT_NE(repair.log.find("\nUlvaneFindServer: found configuration BETA,"), std::string::npos) << repair.log;
  EXPECT_EQ(chosen.dir.read("cache.cpf"), configuration_file(server.port_text(), true));
  EXPECT_EQ(first.dir.read("cache.cpf"), configuration_file(server.port_text(), false));
  EXPECT_EQ(server.journal().find(first.dir.path()), std::string::npos);
  uninstall(chosen);
}

// Each way the install must stop: 1603, the reason in the log, no product installed,
// and the configuration file as it was unless the product was registered before the stop.
TEST(ExamplePackage, StopsWithTheReason) {
  StandinServer down;
  const std::string down_port = down.port_text();
  down.stop();
  StandinServer without_ulv({.namespaces = {"USER", "%SYS"}});
  const std::string asked = "UlvaneCall failed: asked $NAMESPACE in namespace ";
  struct Row {
    std::string label;
    std::string port;  // the configuration's DefaultPort; empty: no configuration at all
    std::string properties;
    std::string reason;  // a line of the log
    int attempts;        // lines about an attempt that failed before the last
    bool registered;     // stopped after the product was registered
    bool no_file = false;  // the configuration's file is not there
  };
  const Row rows[] = {
      {"no configuration", "", "",
       "UlvaneFindServer: no server configuration is recorded on this machine: No configuration is recorded", 0,
       false},
      {"unknown name", down_port, "ULVANE_CONFIG=NOPE",
       "UlvaneFindServer: there is no configuration named NOPE (the configurations: CACHE)", 0, false},
      {"no port", "none", "", "UlvaneFindServer: configuration CACHE has no port: 'none' is not a valid", 0, false},
      {"no configuration file", down_port, "", "UlvaneFindServer: configuration CACHE has no port: Unable to read ",
       0, false, true},
      {"server down", down_port, "", asked + "%SYS at 127.0.0.1 port " + down_port + ": cannot connect to", 2,
       false},
      {"namespace missing", without_ulv.port_text(), "",
       asked + "ULV at 127.0.0.1 port " + without_ulv.port_text() + ": it answered \"USER\", not \"ULV\"", 2, true},
  };
  for (const Row& row : rows) {
    ScratchConfigurations registry;
    std::optional<Configuration> cache;
    if (!row.port.empty()) cache.emplace(registry, "CACHE", row.port);
    if (row.no_file) DeleteFileA(cache->dir.file("cache.cpf").c_str());

    const Install run = install(row.properties);
    EXPECT_EQ(run.exit_code, kInstallFailure) << row.label << ": " << run.log;
    const std::string lines = action_lines(run.log);
    EXPECT_NE(lines.find("\n" + row.reason), std::string::npos) << row.label << ": " << lines;
    EXPECT_EQ(occurrences(lines, ", attempt "), std::size_t(row.attempts)) << row.label << ": " << lines;
    EXPECT_FALSE(installed()) << row.label;
    if (cache) {
      const std::string expected = row.no_file ? "<missing>" : configuration_file(row.port, row.registered);
      EXPECT_EQ(cache->dir.read("cache.cpf"), expected) << row.label;
      if (!row.registered) {
        EXPECT_EQ(read_file(cache->install_dir() + "\\index.csp"), std::nullopt) << row.label;
      }
    }
  }
  EXPECT_EQ(without_ulv.routine("USER", "ULVAPI"), std::nullopt);
}

// Data an action must refuse, each in a package of refusals (tests/msi/refusals.wxs)
// whose actions the install ignores: each refusal says what is wrong and how the data
// is written, and none reaches the machine or a server.
TEST(CustomActions, RefuseMalformedData) {
  const std::string format = ". It is Key=Value entries joined by ';' (write ';;' for a ';' in a value), with the keys ";
  const std::string call_keys = "Host, Port, Namespace, Expression, Expect, Attempts, Pause, Trace";
  const std::string load_keys = "Host, Port, Namespace, Routine, InstallRoutine, Trace";
  auto call = [&](const std::string& why) {
    return "UlvaneCall failed: UlvaneCall's CustomActionData is malformed: " + why + format + call_keys;
  };
  auto load = [&](const std::string& why) {
    return "UlvaneLoadRoutines failed: UlvaneLoadRoutines's CustomActionData is malformed: " + why + format +
           load_keys;
  };
  // In the package's order: the immediate actions, then the install script's.
  const std::string refusals[] = {
      // Shown as given: the installer formats nothing in a line, and a line break is escaped.
      "UlvaneCall failed: UlvaneCall's property ULVANE_CALL is malformed: entry 2 has the unknown key "
      "'Hots[1]{x}\\r\\n'" + format + call_keys,
      "UlvaneCall failed: UlvaneCall's property ULVANE_CALL is malformed: it is empty" + format + call_keys,
      "UlvaneRegister failed: UlvaneRegister runs only as a deferred action (Execute=\"deferred\"), with its data "
      "in CustomActionData",
      "UlvaneFindServer failed: UlvaneFindServer runs only as an immediate action: it sets properties, which an "
      "action run from the install script cannot",
      call("entry 2 (\"Port\") has no '='"),
      call("entry 5 is empty"),
      call("entry 2 has the unknown key 'Hots'"),
      call("entry 3 gives the key 'Host' a second time"),
      call("entry 1 (\"=127.0.0.1\") has no key before its '='"),
      call("the key 'Expression' is missing"),
      call("Attempts is \"0\", not a whole number from 1 to 100"),
      "UlvaneRegister failed: UlvaneRegister's CustomActionData is malformed: Cpf is empty" + format + "Cpf, Trace",
      // ";;" is the ';' of the path.
      "UlvaneRegister failed: The configuration file C:\\no;such\\cache.cpf does not exist",
      load("the Routine \"ULVAPI\" is not <name>,<file>"),
      load("Routine entries need a Namespace"),
      load("it names no Routine and no InstallRoutine"),
  };
  std::string expected = "\n";
  for (const std::string& line : refusals) expected.append(line).append("\n");
  ScratchDirectory traces;
  const std::string trace = traces.file("refusals.trace");
  const ScopedEnvironment traced(ULVANE_TRACE_VARIABLE, trace.c_str());

  const Install run = msiexec("/i", package("ulvane-refusals"), "ULVANE_CALL=\"Host=127.0.0.1;Hots[1]{x}\r\n=1\"");
  EXPECT_EQ(run.exit_code, 0u) << run.log;
  EXPECT_EQ(action_lines(run.log), expected);
  EXPECT_EQ(read_file(trace), std::nullopt) << "the library was called";
  EXPECT_EQ(msiexec("/x", package("ulvane-refusals")).exit_code, 0u);
}

// UlvaneLoadRoutines loads in the order given and stops at the first routine that fails,
// which it names with the library's reason, the one the trace gives for that call.
TEST(CustomActions, LoadRoutinesStopsAtTheFirstFailure) {
  StandinServer::Options hangs_up;
  hangs_up.drop_on = "ULVDROP";
  StandinServer server(hangs_up);
  ScratchDirectory files;
  const std::string first = files.write("ULVAPI.rtn", example_file("routines/ULVAPI.rtn"));
  const std::string third = files.write("ULVWEB.rtn", example_file("routines/ULVWEB.rtn"));
  ScratchDirectory traces;
  const std::string trace = traces.file("load.trace");
  Install run;
  {
    const ScopedEnvironment traced(ULVANE_TRACE_VARIABLE, trace.c_str());
    run = msiexec("/i", package("ulvane-first-failure"),
                  "PORT=" + server.port_text() + " FIRST=" + quoted(first) + " THIRD=" + quoted(third));
  }
  EXPECT_EQ(run.exit_code, kInstallFailure) << run.log;
  EXPECT_FALSE(installed("ulvane-first-failure"));
  EXPECT_EQ(server.routine("ULV", "ULVAPI"), example_file("routines/ULVAPI.rtn"));
  EXPECT_EQ(server.routine("ULV", "ULVWEB"), std::nullopt);

  std::string failure = "<no LoadRtn of ULVDROP in the trace>";
  for (const TraceLine& line : read_trace(trace).calls)
    if (line.field(kExport) == "LoadRtn" && line.field(kArguments).find("ULVDROP") != std::string::npos)
      failure = line.field(kFailure);
  const std::string prefix = "\nUlvaneLoadRoutines failed: Could not load routine ULVDROP into ULV at 127.0.0.1 port " +
                             server.port_text() + " from " + first + " (loaded before it: ULVAPI): ";
  const std::string lines = action_lines(run.log);
  const std::size_t at = lines.find(prefix);
  ASSERT_NE(at, std::string::npos) << lines;
  const std::size_t start = at + prefix.size();
  EXPECT_EQ(trace_text(lines.substr(start, lines.find('\n', start) - start)), failure);
  EXPECT_EQ(occurrences(lines, "UlvaneLoadRoutines: "), 0u) << lines;
}
