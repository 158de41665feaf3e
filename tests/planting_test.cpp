// No planted DLL is ever loaded. Installers run elevated from the download or temp
// folder, so a DLL placed there under a name the process looks for would run with the
// installer's rights. A host is copied into a scratch folder with Ulvane.dll and with
// copies of a harmless DLL (tests/planting/planted.c) under every name the library, its
// imports, its runtime, COM and OLE could load; it makes every call, succeeding and
// failing, and none of the copies may run.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "support/com_checks.h"
#include "support/example_machine.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"
#include "support/text.h"

using namespace ulvane::test;

namespace {

const char* const kPlantedNames[] = {
    // Loaded, on some Windows version or under Wine, by the system DLLs the library
    // imports, by COM when it makes an in-process object, or by OLE Automation.
    "kernelbase.dll", "ntdll.dll", "combase.dll", "rpcrt4.dll", "sechost.dll", "bcrypt.dll",
    "bcryptprimitives.dll", "cryptbase.dll", "clbcatq.dll", "user32.dll", "gdi32.dll", "win32u.dll",
    "ucrtbase.dll", "msvcp_win.dll", "uxtheme.dll", "propsys.dll", "version.dll", "shlwapi.dll",
    // The runtime's own DLLs: the library links them in, but the 32-bit runtime asks
    // for libgcc_s_dw2-1.dll by name.
    "libgcc_s_dw2-1.dll", "libgcc_s_seh-1.dll", "libstdc++-6.dll", "libwinpthread-1.dll",
    // The control's file name: COM must load it from the full path it is registered under.
    "standin-control.dll"};

// A name nothing on the system has: the host loads it by bare name, which shows that
// the folder is searched and that a planted DLL that runs is seen.
const char* const kProbe = "ulvane-planting-probe.dll";

// The DLLs a loaded module imports, from its import table, in lower case.
std::set<std::string> imported_dlls(HMODULE module) {
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  std::set<std::string> names;
  for (const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry) {
    std::string name = reinterpret_cast<const char*>(base + entry->Name);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names.insert(name);
  }
  return names;
}

void copy(const std::string& from, const std::string& to) {
  ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE)) << from << " -> " << to << ": " << GetLastError();
}

}  // namespace

TEST(Planting, NoPlantedDllIsLoaded) {
  StandinServer server;
  ScratchConfigurations registry;
  Configuration cache(registry, "CACHE", server.port_text());
  const ClosedPort closed;
  const std::string host = server.host();
  const std::string port = server.port_text();
  const std::string cpf = cache.dir.path() + "\\cache.cpf";
  const std::string routine = server.write_file("ULVPLANT.rtn", "ULVPLANT\r\n Q\r\n");
  const std::string install = server.write_file("ulvinst.rtn", "ULVINST\r\n Q\r\n");
  const std::string not_registered = code_text(REGDB_E_CLASSNOTREG);

  ScratchDirectory folder;
  copy(beside_this_program("planting-host.exe"), folder.file("planting-host.exe"));
  copy(library_path(), folder.file("Ulvane.dll"));
  std::set<std::string> planted = imported_dlls(library_module());
  planted.insert(std::begin(kPlantedNames), std::end(kPlantedNames));
  planted.insert(kProbe);
  for (const std::string& name : planted) copy(beside_this_program("planted.dll"), folder.file(name));

  struct Row {
    std::string call;
    std::string result;
  };
  const Row rows[] = {
      // Succeeding, with COM loading the control for each call and letting it go after.
      {"GetCacheConfig", "CACHE"},
      {"GetCacheDir|CACHE", cache.dir.path() + "\\"},
      {"GetCacheCpf|CACHE", cpf},
      {"GetCachePort|CACHE", port},
      {"UpdateCpf|" + cpf, "1"},
      {cat("Call|", host, "|", port, "|%SYS|$ZV"), "Ulvane stand-in server 1.0"},
      // Numbers come back as text through VariantChangeTypeEx.
      {cat("Call|", host, "|", port, "|USER|6*7"), "42"},
      {cat("Call|", host, "|", port, "|USER|1/4"), "0.25"},
      {cat("LoadRtn|", routine, "|", host, "|", port, "|ULV|ULVPLANT"), "1"},
      {cat("LoadFile|", host, "|", port, "|", install), "1"},
      {"Sleep|1", "0"},
      // Failing.
      {"GetCacheDir|NOSUCH", ""},
      {"GetCacheCpf|NOSUCH", ""},
      {"GetCachePort|NOSUCH", "-1"},
      {"UpdateCpf|" + cache.dir.path(), "0"},
      {cat("Call|", host, "|", closed.text(), "|USER|1"),
       cat("cannot connect to cn_iptcp:", host, "[", closed.text(), "]: connection refused")},
      {cat("LoadRtn|", routine, "|", host, "|", closed.text(), "|ULV|ULVPLANT"), "0"},
      {cat("LoadFile|", host, "|", closed.text(), "|", install), "0"},
      // A COM failure, whose text comes from the system's message table.
      {cat("faults|", beside_this_program("standin-control.dll"), "|create=0x80040154"), "1"},
      {cat("Call|", host, "|", port, "|USER|1"), not_registered},
      {cat("LoadRtn|", routine, "|", host, "|", port, "|ULV|ULVPLANT"), "0"},
      {cat("LoadFile|", host, "|", port, "|", install), "0"},
      // The test's own check: a bare-name load does take a DLL planted in the folder.
      {cat("load|", kProbe), "loaded"},
  };
  // Wine starts its desktop process for the first process that needs it, and that one
  // keeps the output handles of the process that needed it: were that the host, the
  // pipe that its output comes back through would never close.
  GetDesktopWindow();
  std::string command = quoted(folder.file("planting-host.exe"));
  std::string expected_results;
  for (const Row& row : rows) {
    command.append(" ").append(quoted(row.call));
    expected_results += row.call + " -> " + row.result + "\n";
  }

  const ProcessResult run = run_process(command);
  std::cout << run.out;
  ASSERT_EQ(run.exit_code, 0u) << run.out << run.err;
  std::istringstream lines(run.out);
  std::string results;
  std::set<std::string> planted_modules;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("planted ", 0) == 0)
      planted_modules.insert(line.substr(8));
    else if (line.find(" -> ") != std::string::npos)
      results += line + "\n";
  }
  EXPECT_EQ(results, expected_results);
  EXPECT_EQ(planted_modules, std::set<std::string>{kProbe}) << run.out;
  EXPECT_EQ(names_matching(folder.file("*.loaded")), std::set<std::string>{std::string(kProbe) + ".loaded"});
}
