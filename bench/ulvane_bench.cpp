// Times each export beside the bare platform calls it has to make for the same
// work, in one run, and prints a table ending with the worst ratio.
//
//   ulvane_bench.exe [--growth FILE]   FILE receives the UpdateCpf growth data
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bare_control.h"
#include "common/wire.h"
#include "harness.h"
#include "support/library.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/shared_texts.h"
#include "support/standin_server.h"
#include "ulvane.h"

using namespace ulvane::bench;
using namespace ulvane::test;

namespace {

const std::string kConfigurations = "Software\\InterSystems\\Cache\\Configurations";
// The view the DLL asks first, and the one the scratch configurations are in: named, as
// the DLL names it, so that the 64-bit twin's bare side reads the same keys and not
// its own view's (where there is nothing to read).
constexpr REGSAM kRead = KEY_READ | KEY_WOW64_32KEY;

// The bare registry reads of one configuration value, as the lookup must make them:
// the configurations key (its view answers), the configuration's key and its subkey,
// each opened relative to its parent (the full path of a long name passes the
// platform's limit), then size, data and the three closes.
std::string bare_default_value(const std::string& name, const char* subkey) {
  HKEY configurations = nullptr, configuration = nullptr, key = nullptr;
  std::string text;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigurations.c_str(), 0, kRead, &configurations) != ERROR_SUCCESS)
    return text;
  if (RegOpenKeyExA(configurations, name.c_str(), 0, kRead, &configuration) == ERROR_SUCCESS) {
    if (RegOpenKeyExA(configuration, subkey, 0, kRead, &key) == ERROR_SUCCESS) {
      DWORD type = 0, size = 0;
      char data[MAX_PATH] = "";
      RegQueryValueExA(key, "", nullptr, &type, nullptr, &size);
      size = sizeof data;
      RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
      text = data;
      RegCloseKey(key);
    }
    RegCloseKey(configuration);
  }
  RegCloseKey(configurations);
  return text;
}

void bare_list() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigurations.c_str(), 0, kRead, &key) != ERROR_SUCCESS) return;
  DWORD count = 0, longest = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr);
  char name[256];
  for (DWORD i = 0; i < count; ++i) {
    DWORD length = longest + 1;
    RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
  }
  RegCloseKey(key);
}

// The profile calls of one entry rule: the key list, each value, one write.
void bare_entry_update(const char* section, const char* key, const char* value, const std::string& path,
                       std::vector<char>& list) {
  GetPrivateProfileStringA(section, nullptr, "", list.data(), static_cast<DWORD>(list.size()), path.c_str());
  char text[2048];
  for (const char* name = list.data(); *name; name += std::strlen(name) + 1)
    GetPrivateProfileStringA(section, name, "", text, sizeof text, path.c_str());
  WritePrivateProfileStringA(section, key, value, path.c_str());
}

std::string config_file(int keys) {
  std::string text = "[Startup]\r\nDefaultPort=1972\r\n";
  auto section = [&](const char* name, const char* prefix, const char* ulv) {
    text.append("[").append(name).append("]\r\n");
    for (int i = 1; i < keys; ++i)
      text.append(prefix)
          .append(std::to_string(i))
          .append("=NAMESPACE")
          .append(std::to_string(i))
          .append(",X\r\n");
    text.append(prefix).append(std::to_string(keys)).append("=").append(ulv).append("\r\n");
  };
  section("Namespaces", "Nsp_", ulvane::test::kNsp.c_str());
  section("CSP.Applications", "CSPApp_", ulvane::test::kApp.c_str());
  return text;
}

// The floor under any server call: one request and its answer on a fresh connection.
void raw_exchange(const std::string& host, const std::string& port, const std::string& line) {
  standin::Connected connection = standin::connect_tcp(host, port);
  standin::exchange(connection.socket, "run", line);
}

// Times export_call with the DLL tracing every call into trace: the cost of a trace
// left on, beside the same bare calls as the untraced row.
Comparison traced(const std::string& label, const std::string& trace,
                  const std::function<void()>& export_call, const std::function<void()>& bare_calls) {
  SetEnvironmentVariableA(ULVANE_TRACE_VARIABLE, trace.c_str());
  Comparison c = compare(label + ", trace on", export_call, bare_calls, 31);
  SetEnvironmentVariableA(ULVANE_TRACE_VARIABLE, nullptr);
  return c;
}

void print_row(const Comparison& c) {
  std::printf("| %-40s | %12.1f | %12.1f | %5.2f |\n", c.label.c_str(), c.export_us, c.bare_us, c.ratio());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string growth_file = argc == 3 && std::string(argv[1]) == "--growth" ? argv[2] : "";
  // The table times the library as shipped, untraced, whatever the shell has set;
  // the trace's rows turn it on for themselves.
  SetEnvironmentVariableA(ULVANE_TRACE_VARIABLE, nullptr);
  SetEnvironmentVariableA(ULVANE_TRACE_ARGS_VARIABLE, nullptr);

  // First, while nothing else holds the DLL: what a host that loads it for a call and
  // unloads it again pays per round, beside the same round of the smallest DLL built
  // with the same toolchain and runtime.
  const std::string dll = beside_this_program("Ulvane.dll");
  const std::string one_function = beside_this_program("one-function.dll");
  Comparison round = compare(
      "load, one call, unload",
      [&] {
        HMODULE module = LoadLibraryA(dll.c_str());
        reinterpret_cast<UlvaneSleep>(reinterpret_cast<void*>(GetProcAddress(module, "Sleep")))(0);
        FreeLibrary(module);
      },
      [&] {
        HMODULE module = LoadLibraryA(one_function.c_str());
        using One = int(__stdcall*)(int);
        reinterpret_cast<One>(reinterpret_cast<void*>(GetProcAddress(module, "One")))(0);
        FreeLibrary(module);
      },
      31);

  const UlvaneApi& api = library();
  std::vector<Comparison> rows;
  std::printf("| %-40s | %12s | %12s | %5s |\n", "case", "export (us)", "platform (us)", "ratio");
  std::printf("|%s|%s|%s|%s|\n", std::string(42, '-').c_str(), std::string(14, '-').c_str(),
              std::string(14, '-').c_str(), std::string(7, '-').c_str());

  for (int count : {1, 10, 100}) {
    ScratchConfigurations registry;
    char name[16];
    for (int i = 0; i < count; ++i) {
      std::snprintf(name, sizeof name, "CACHE%03d", i);
      registry.add(name);
    }
    rows.push_back(compare(
        "GetCacheConfig, " + std::to_string(count) + " configurations", [&] { api.GetCacheConfig(); },
        bare_list, 31));
    print_row(rows.back());
  }

  ScratchConfigurations registry;
  ScratchDirectory dir;
  std::string cpf = dir.write("cache.cpf", config_file(20));
  registry.set_text("CACHE", "Directory", "C:\\InterSystems\\Cache\\");
  registry.set_text("CACHE", "Properties", cpf);
  const auto get_cache_dir = [&] { api.GetCacheDir("CACHE"); };
  const auto bare_directory = [&] { bare_default_value("CACHE", "Directory"); };
  rows.push_back(compare("GetCacheDir", get_cache_dir, bare_directory, 31));
  print_row(rows.back());
  // Not in the worst ratio: a trace is for diagnosis, never on in a shipped install.
  std::vector<Comparison> traced_rows;
  const std::string trace = dir.file("bench.trace");
  traced_rows.push_back(traced("GetCacheDir", trace, get_cache_dir, bare_directory));
  rows.push_back(compare(
      "GetCachePort", [&] { api.GetCachePort("CACHE"); },
      [&] {
        std::string path = bare_default_value("CACHE", "Properties");
        char port[2048];
        GetPrivateProfileStringA("Startup", "DefaultPort", "", port, sizeof port, path.c_str());
      },
      31));
  print_row(rows.back());

  std::FILE* growth = growth_file.empty() ? nullptr : std::fopen(growth_file.c_str(), "w");
  if (growth) std::fprintf(growth, "# keys export_ms platform_ms\n");
  for (int keys : {10, 100, 1000, 10000}) {
    std::string path = dir.write("keys" + std::to_string(keys) + ".cpf", config_file(keys));
    std::vector<char> list(keys * 16 + 64);
    api.UpdateCpf(path.c_str());  // the file now holds both entries: every call does the same work
    auto bare = [&] {
      bare_entry_update("Namespaces", "Nsp_1", ulvane::test::kNsp.c_str(), path, list);
      bare_entry_update("CSP.Applications", "CSPApp_1", ulvane::test::kApp.c_str(), path, list);
    };
    rows.push_back(compare(
        "UpdateCpf, " + std::to_string(keys) + " keys per section", [&] { api.UpdateCpf(path.c_str()); },
        bare,
        keys >= 10000  ? 3
        : keys >= 1000 ? 7
                       : 21));
    print_row(rows.back());
    if (growth)
      std::fprintf(growth, "%d %.3f %.3f\n", keys, rows.back().export_us / 1000, rows.back().bare_us / 1000);
  }
  if (growth) std::fclose(growth);

  {
    StandinServer server;
    const std::string host = server.host(), port = server.port_text();
    const std::string routine = server.write_file("bench.rtn", "BENCH ; a routine\r\n Q\r\n");
    const std::string load_line = "S F=\"" + routine + "\" O F U F ZL  ZS BENCH C F";
    const auto call = [&] { api.Call(host.c_str(), port.c_str(), "USER", "1+2"); };
    const auto bare_call = [&] { bare_control_session(host, port, "USER", {"S P1=1+2"}, true); };
    rows.push_back(compare("Call", call, bare_call, 31));
    print_row(rows.back());
    traced_rows.push_back(traced("Call", trace, call, bare_call));
    rows.push_back(compare(
        "LoadRtn", [&] { api.LoadRtn(routine.c_str(), host.c_str(), port.c_str(), "ULV", "BENCH"); },
        [&] { bare_control_session(host, port, "ULV", {load_line}, false); }, 31));
    print_row(rows.back());

    standin::WinsockSession sockets;
    double floor_us = median_us([&] { raw_exchange(host, port, "S P1=1+2"); }, 101);
    std::printf("\nfloor, one request and answer on a new socket: %.1f us (Call is %.1f times that)\n",
                floor_us, rows[rows.size() - 2].export_us / floor_us);
  }

  std::printf("\nwith ULVANE_TRACE set (not in the worst ratio):\n");
  for (const Comparison& c : traced_rows) print_row(c);
  std::printf("\n");

  double worst = 0;
  for (const Comparison& c : rows) worst = std::max(worst, c.ratio());
  std::printf("load, one call, unload: Ulvane.dll %.0f us, a one-function DLL %.0f us (ratio %.2f)\n",
              round.export_us, round.bare_us, round.ratio());
  std::printf("worst ratio: %.2f\n", worst);
  return 0;
}
