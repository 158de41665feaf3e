#include "support/example_machine.h"

#include <windows.h>
#include <tlhelp32.h>

#include "support/standin_server.h"
#include "support/trace_lines.h"

namespace ulvane::test {

const std::string kNamespaceEntry = "Nsp_4=ULV,CACHELIB,CACHESYS,CACHELIB,CACHESYS,CACHELIB,CACHETEMP";
const std::string kApplicationEntry =
    "CSPApp_3=/csp/ulv,ulv,1,1,%ulv.event,900,1,,ULV,0,,/csp/ulv/error.csp,%ulv,,0";

std::string configuration_file(const std::string& port, bool registered) {
  std::string text =
      crlf_lines({"[ConfigFile]", "Product=0", "Version=2018.1", "[Startup]", "DefaultPort=" + port,
                  "WebServerPort=57772", "; the system manager's note", "[Databases]",
                  "CACHESYS=C:\\InterSystems\\Cache\\mgr\\", "USER=C:\\InterSystems\\Cache\\mgr\\user\\",
                  "[Namespaces]", "Nsp_1=%SYS,CACHESYS,CACHESYS,CACHELIB,CACHESYS,CACHELIB,CACHETEMP",
                  "Nsp_2=USER,USER,USER,CACHELIB,CACHESYS,CACHELIB,CACHETEMP",
                  "Nsp_3=SAMPLES,SAMPLES,SAMPLES,CACHELIB,CACHESYS,CACHELIB,CACHETEMP"});
  if (registered) text.append(kNamespaceEntry).append("\r\n");
  text.append(crlf_lines({"[CSP.Applications]", "CSPApp_1=/csp/sys,%SYS,1,1,,900,1,,%SYS,0",
                          "CSPApp_2=/csp/user,USER,1,1,,900,1,,USER,0"}));
  if (registered) text.append(kApplicationEntry).append("\r\n");
  return text.append(crlf_lines({"[Devices]", "47=47,SDP"}));
}

Configuration::Configuration(ScratchConfigurations& registry, const std::string& name,
                             const std::string& port) {
  registry.set_text(name, "Directory", dir.path() + "\\");
  registry.set_text(name, "Properties", dir.write("cache.cpf", configuration_file(port, false)));
}

std::string example_file(const std::string& relative) {
  std::string path = ULVANE_EXAMPLES;
  return read_file(path.append("/").append(relative)).value_or("<missing " + relative + ">");
}

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

std::string load_check(const std::string& routine) {
  return "$NAMESPACE_\":\"_($D(^ROUTINE(\"" + routine + "\"))>0)";
}

std::string clean_install_journal(const Configuration& configuration) {
  const auto check = load_check;
  auto load = [&](const std::string& file, const std::string& routine) {
    return "S F=\"" + configuration.routine_file(file) + "\" O F U F ZL  ZS " + routine + " C F\n";
  };
  return "%SYS\tS P1=$NAMESPACE\n"
         "%SYS\tS P1=$ZV\n"
         "ULV\tS P1=$NAMESPACE\n"
         "ULV\t" +
         load("ULVAPI.rtn", "ULVAPI") + "ULV\t" + load("ULVWEB.rtn", "ULVWEB") +
         "%SYS\tZN \"%SYS\"\n"
         "%SYS\t" +
         load("ulvinst.rtn", "QUMAINST") + "ULV\tS P1=" + check("ULVAPI") + "\n" +
         "ULV\tS P1=" + check("ULVWEB") + "\n" + "%SYS\tS P1=" + check("QUMAINST") + "\n";
}

namespace {

void expect_clean_install_trace(const std::string& trace, const StandinServer& server,
                                const Configuration& configuration, const std::string& host_calls) {
  const std::string port = server.port_text();
  const std::string config = trace_text("CACHE");
  const std::string cpf = trace_text(configuration.dir.file("cache.cpf"));
  const std::string local = trace_text("127.0.0.1") + ", " + trace_text(port);
  auto call = [&](const std::string& name_space, const std::string& expression, const std::string& answer) {
    return "Call\t" + local + ", " + trace_text(name_space) + ", " + trace_text(expression) + "\t" +
           trace_text(answer) + "\t";
  };
  auto load = [&](const std::string& routine) {
    return "LoadRtn\t" + trace_text(configuration.routine_file(routine + ".rtn")) + ", " + local + ", " +
           trace_text("ULV") + ", " + trace_text(routine) + "\t1\t";
  };
  std::string calls;
  for (const std::string& line : {
           "GetCacheConfig\t\t" + config + "\t",
           "GetCacheDir\t" + config + "\t" + trace_text(configuration.dir.path() + "\\") + "\t",
           "GetCacheCpf\t" + config + "\t" + cpf + "\t",
           "GetCachePort\t" + config + "\t" + port + "\t",
           call("%SYS", "$NAMESPACE", "%SYS"),
           call("%SYS", "$ZV", "Ulvane stand-in server 1.0"),
           "UpdateCpf\t" + cpf + "\t1\t",
           call("ULV", "$NAMESPACE", "ULV"),
           load("ULVAPI"),
           load("ULVWEB"),
           "LoadFile\t" + local + ", " + trace_text(configuration.routine_file("ulvinst.rtn")) + "\t1\t",
           call("ULV", load_check("ULVAPI"), "ULV:1"),
           call("ULV", load_check("ULVWEB"), "ULV:1"),
           call("%SYS", load_check("QUMAINST"), "%SYS:1"),
       })
    calls.append(line).append("\n");

  const Trace traced = read_trace(trace);
  ASSERT_FALSE(traced.calls.empty()) << "no call in " << trace;
  EXPECT_EQ(traced.header, kTraceHeader);
  EXPECT_EQ(traced.comments, std::vector<std::string>{});
  for (const TraceLine& line : traced.calls) {
    EXPECT_EQ(malformed(line), "") << line.text;
    EXPECT_EQ(line.field(kProcess), traced.calls.front().field(kProcess)) << "another process: " << line.text;
  }
  EXPECT_EQ(calls_of(traced), calls + host_calls);
}

}  // namespace

void expect_traced_install(const std::function<Install(const std::string&)>& install,
                           const std::function<std::string(const std::string&)>& trace_option,
                           const std::string& host_calls, bool says_where) {
  const ScopedEnvironment texts_in_full(ULVANE_TRACE_ARGS_VARIABLE, nullptr);
  StandinServer server;
  ScratchConfigurations registry;
  Configuration cache(registry, "CACHE", server.port_text());
  ScratchDirectory traces;
  const std::string trace = traces.file("install.trace");

  Install run = install(trace_option(trace));
  ASSERT_EQ(run.exit_code, 0u) << run.log;
  if (says_where) {
    EXPECT_NE(run.log.find("Tracing Ulvane.dll's calls to " + trace + "\r\n"), std::string::npos) << run.log;
  }
  expect_clean_install(server, cache);
  expect_clean_install_trace(trace, server, cache, host_calls);
}

void expect_stops(
    unsigned long exit_code, const std::function<Install(const std::string&)>& install,
    const std::function<void(const StopCase&, const Install&, const Configuration* cache)>& check) {
  StandinServer down;
  const std::string down_port = down.port_text();
  down.stop();
  StandinServer without_ulv({.namespaces = {"USER", "%SYS"}});
  const std::string server = "The server at 127.0.0.1 port ";
  const StopCase rows[] = {
      {"no configuration", "", "", "No InterSystems Cache configuration is installed on this machine", 0,
       false},
      {"unknown name", down_port, "/CONFIG=NOPE", "There is no configuration named NOPE", 0, false},
      {"no port", "none", "", "No server port in ", 0, false},
      // UpdateCpf would make a new file there: the examples refuse instead.
      {"no configuration file", down_port, "", "The configuration file ", 0, false, true},
      {"server down", down_port, "",
       server + down_port + " does not answer in namespace %SYS: cannot connect to", 2, false},
      {"namespace missing", without_ulv.port_text(), "",
       server + without_ulv.port_text() + " does not answer in namespace ULV: it answered USER", 2, true},
  };
  for (const StopCase& row : rows) {
    ScratchConfigurations registry;
    std::optional<Configuration> cache;
    if (!row.port.empty()) cache.emplace(registry, "CACHE", row.port);
    std::string reason = row.reason;
    if (row.no_file) {
      DeleteFileA(cache->dir.file("cache.cpf").c_str());
      reason += cache->dir.file("cache.cpf") + " of configuration CACHE does not exist";
    }

    const Install run = install(row.arguments);
    EXPECT_EQ(run.exit_code, exit_code) << row.label << ": " << run.log;
    EXPECT_NE(run.log.find("FAILED: " + reason), std::string::npos) << row.label << ": " << run.log;
    EXPECT_EQ(occurrences(run.log, "Waiting for"), std::size_t(row.waits)) << row.label << ": " << run.log;
    if (cache) {
      const std::string expected = row.no_file ? "<missing>" : configuration_file(row.port, row.past_files);
      EXPECT_EQ(cache->dir.read("cache.cpf"), expected) << row.label;
    }
    check(row, run, cache ? &*cache : nullptr);
  }
  EXPECT_EQ(without_ulv.routine("USER", "ULVAPI"), std::nullopt);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

namespace {

std::string temp_directory() {
  char temp[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, temp);
  return temp;
}

}  // namespace

std::set<std::string> names_matching(const std::string& pattern) {
  std::set<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = found.cFileName;
    if (name != "." && name != "..") names.insert(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

std::set<std::string> temp_entries(const std::string& pattern) {
  return names_matching(temp_directory() + pattern);
}

std::string left_behind(const std::set<std::string>& before, const std::set<std::string>& after) {
  std::string report;
  for (const std::string& name : after) {
    if (before.count(name)) continue;
    report.append(name).append(" [");
    for (const std::string& inside : names_matching(temp_directory() + name + "\\*"))
      report.append(" ").append(inside);
    report.append(" ] ");
  }
  return report;
}

int processes_named(const std::string& prefix) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (_strnicmp(entry.szExeFile, prefix.c_str(), prefix.size()) == 0) ++count;
  CloseHandle(snapshot);
  return count;
}

}  // namespace ulvane::test
