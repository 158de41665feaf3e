// ulvane-call doctor on machines that are healthy and on machines with one thing
// wrong: a line per check, and the exit code.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/owner.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "server_file.h"
#include "support/standin_server.h"
#include "support/trace_lines.h"
#include "ulvane.h"

using namespace ulvane::test;

namespace {

// The report is console text (CR LF); compared here with plain line feeds.
ProcessResult doctor(const std::string& arguments, const std::string& options = "") {
  ProcessResult result =
      run_process(quoted(beside_this_program("ulvane-call.exe")) + " " + options + " doctor " + arguments);
  std::erase(result.out, '\r');
  return result;
}

std::string configuration_file(const std::string& port) {
  return crlf_lines({"[Startup]", "DefaultPort=" + port, "[Namespaces]", "Nsp_1=%SYS,CACHESYS",
                     "[CSP.Applications]", "CSPApp_1=/csp/sys,%SYS"});
}

// A machine with one configuration, CACHE, whose server is the given one.
struct Machine {
  explicit Machine(const std::string& port) {
    registry.set_text("CACHE", "Directory", dir.path() + "\\");
    cpf = dir.write("cache.cpf", configuration_file(port));
    registry.set_text("CACHE", "Properties", cpf);
  }
  ScratchConfigurations registry;
  ScratchDirectory dir;
  std::string cpf;
};

}  // namespace

TEST(Doctor, ReportsEveryCheckOkAndOnlyReads) {
  const ScopedEnvironment no_trace(ULVANE_TRACE_VARIABLE, nullptr);
  StandinServer server;
  Machine machine(server.port_text());

  ProcessResult result = doctor("");
  EXPECT_EQ(result.exit_code, 0u) << result.out;
  const std::string library =
      "library: ok (" + beside_this_program("Ulvane.dll") + ", version " ULVANE_VERSION ")\ntrace: off\n";
  ASSERT_EQ(result.out.substr(0, library.size()), library) << result.out;
  result.out.erase(0, library.size());
  const std::string control = "control registered: ok (";
  const std::size_t control_at = result.out.find(control);
  ASSERT_NE(control_at, std::string::npos) << result.out;
  const std::size_t control_end = result.out.find(")\n", control_at);
  EXPECT_NE(result.out.substr(control_at, control_end - control_at).find("standin-control.dll"),
            std::string::npos);
  EXPECT_EQ(result.out.substr(0, control_at),
            "configurations: ok (CACHE)\n"
            "configuration: ok (CACHE)\n"
            "directory: ok (" +
                machine.dir.path() +
                "\\)\n"
                "configuration file: ok (" +
                machine.cpf +
                ")\n"
                "configuration file exists: ok\n"
                "configuration file readable: ok\n"
                "configuration file writable: ok\n"
                "port: ok (" +
                server.port_text() + ")\n");
  EXPECT_EQ(result.out.substr(control_end + 2), "server answers: ok (Ulvane stand-in server 1.0)\n");
  EXPECT_EQ(result.err, "");

  EXPECT_EQ(server.journal(), "%SYS\tS P1=\"ZV:\"_$ZV\n");
  EXPECT_EQ(machine.dir.read("cache.cpf"), configuration_file(server.port_text()));
}

TEST(Doctor, ChecksTheConfigurationNamed) {
  StandinServer server;
  Machine machine(server.port_text());
  machine.registry.set_text("OTHER", "Directory", "C:\\nowhere\\");

  ProcessResult result = doctor("OTHER");
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_NE(result.out.find("configurations: ok (CACHE, OTHER)\nconfiguration: ok (OTHER)\n"
                            "directory: FAILED: C:\\nowhere\\ does not exist\n"
                            "configuration file: FAILED: no Properties value\n"
                            "port: FAILED: no usable [Startup] DefaultPort in the configuration file\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("server answers: not checked (no port)\n"), std::string::npos) << result.out;
}

// One thing wrong at a time: the check that names it, and exit code 1.
TEST(Doctor, NamesWhatIsWrong) {
  const ClosedPort down;
  const std::string& down_port = down.text();

  struct Row {
    const char* label;
    std::function<void(Machine&)> spoil;
    const char* arguments;
    std::string line;  // the start of the failing check's line
  };
  const Row rows[] = {
      {"no configuration",
       [](Machine&) {
         // In the 32-bit view, where the machine's configuration is.
         HKEY cache = nullptr;
         RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\InterSystems\\Cache", 0,
                       KEY_ALL_ACCESS | KEY_WOW64_32KEY, &cache);
         RegDeleteTreeA(cache, "Configurations");
         RegCloseKey(cache);
       },
       "",
       "configurations: FAILED: none under "
       "HKEY_LOCAL_MACHINE\\Software\\InterSystems\\Cache\\Configurations\n"},
      {"unknown name", [](Machine&) {}, "NOPE", "configuration: FAILED: 'NOPE' is not among them\n"},
      {"no file", [](Machine& m) { DeleteFileA(m.cpf.c_str()); }, "", "configuration file exists: FAILED: "},
      {"read-only file", [](Machine& m) { SetFileAttributesA(m.cpf.c_str(), FILE_ATTRIBUTE_READONLY); }, "",
       "configuration file writable: FAILED: the file is read-only\n"},
      {"no port", [](Machine& m) { m.dir.write("cache.cpf", "[Startup]\r\nDefaultPort=none\r\n"); }, "",
       "port: FAILED: no usable [Startup] DefaultPort in the configuration file\n"},
      {"server down", [](Machine&) {}, "",
       "server answers: FAILED: cannot connect to cn_iptcp:127.0.0.1[" + down_port + "]"},
  };
  for (const Row& row : rows) {
    Machine machine(down_port);
    row.spoil(machine);
    ProcessResult result = doctor(row.arguments);
    EXPECT_EQ(result.exit_code, 1u) << row.label << ": " << result.out;
    EXPECT_NE(result.out.find(row.line), std::string::npos) << row.label << ": " << result.out;
  }
}

// --host and --port name the server to ask in place of 127.0.0.1 and the
// configuration's port, which is still checked and reported. The stand-in server
// listens on 127.0.0.1 only, so another loopback address finds nothing there.
TEST(Doctor, AsksTheServerThatHostAndPortName) {
  StandinServer server;
  const ClosedPort closed;
  const std::string up = server.port_text();
  const std::string& down = closed.text();
  const std::string answers = "server answers: ok (Ulvane stand-in server 1.0)\n";
  struct Row {
    std::string configured;  // the configuration file's port
    std::string options;     // doctor's, before CONFIG
    unsigned long exit_code;
    std::string line;  // the server check's line, or how it starts
  };
  const Row rows[] = {
      {down, "--port " + up, 0, answers},
      {up, "--port " + down, 1, "server answers: FAILED: cannot connect to cn_iptcp:127.0.0.1[" + down + "]"},
      {up, "--host localhost", 0, answers},
      {up, "--host 127.0.0.2", 1, "server answers: FAILED: cannot connect to cn_iptcp:127.0.0.2[" + up + "]"},
      {down, "--host localhost --port " + up + " CACHE", 0, answers},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.options + ", configured port " + row.configured);
    Machine machine(row.configured);
    ProcessResult result = doctor(row.options);
    EXPECT_EQ(result.exit_code, row.exit_code) << result.out;
    EXPECT_NE(result.out.find("port: ok (" + row.configured + ")\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(row.line), std::string::npos) << result.out;
  }
}

// A bad --port or --host is a usage error (exit code 2), said before anything is checked.
TEST(Doctor, RefusesABadHostOrPort) {
  const std::string needs_port = "ulvane-call: --port needs a port number from 1 to 65535";
  const std::pair<std::string, std::string> rows[] = {
      {"--port", needs_port + "\r\n"},
      {"--port 0", needs_port + ", not '0'\r\n"},
      {"--port 65536", needs_port + ", not '65536'\r\n"},
      {"--port -1", needs_port + ", not '-1'\r\n"},
      {"--port 19x2", needs_port + ", not '19x2'\r\n"},
      {"--port \"\"", needs_port + ", not ''\r\n"},
      {"--host", "ulvane-call: --host needs a host name or address\r\n"},
      {"--host \"\"", "ulvane-call: --host needs a host name or address\r\n"},
  };
  for (const auto& [arguments, error] : rows) {
    ProcessResult result = doctor(arguments);
    EXPECT_EQ(result.exit_code, 2u) << arguments;
    EXPECT_EQ(result.out, "") << arguments;
    EXPECT_EQ(result.err.substr(0, result.err.find("usage:")), error) << arguments;
  }
}

// Tracing on is something to know, not a failed check: where the lines go (the file the
// DLL itself writes to), whether they hold the argument texts, and, from one traced
// call of its own whose line must land, why the DLL drops them when it does. What Wine
// cannot make (a file another account owns, a reparse point, a folder that refuses
// new files to this user) the trace suite shows through the same code.
TEST(Doctor, SaysWhetherTheLibraryTracesItsCalls) {
  StandinServer server;
  Machine machine(server.port_text());
  const std::string trace = machine.dir.file("calls.trace");
  const std::string nowhere = machine.dir.file("missing\\calls.trace");
  const std::string header = std::string(kTraceHeader) + "\r\n";
  const std::string linked = machine.dir.write("linked.trace", header);
  ASSERT_TRUE(CreateHardLinkA(machine.dir.file("second name.trace").c_str(), linked.c_str(), nullptr));
  const std::string notes = machine.dir.write("notes.txt", "the author's own notes\r\n");
  // Another program reading the trace without sharing it for writing. (The read-only
  // attribute would not do: Wine run as root appends to such a file all the same.)
  const std::string held = machine.dir.write("held.trace", header);
  const ulvane::FileHandle holder(
      CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  struct Row {
    const char* label;
    const char* variable;  // ULVANE_TRACE in doctor's environment
    const char* lengths;   // ULVANE_TRACE_ARGS
    std::string options;
    std::string line;     // how the line after the library's starts
    const char* note;     // and what it says after that
    std::string written;  // the file doctor's own line lands in; "": none
  };
  const std::string on = "trace: on (ULVANE_TRACE=";
  const Row rows[] = {
      {"not set", nullptr, nullptr, "", "trace: off\n", "", ""},
      {"empty", "", "0", "", "trace: off\n", "", ""},
      {"a new file", trace.c_str(), nullptr, "", on + trace + "; ", "with its arguments as given: sensitive",
       trace},
      {"lengths only", trace.c_str(), "0", "", on + trace + "; ",
       "ULVANE_TRACE_ARGS=0: texts as their lengths", trace},
      {"lengths only, for any value but 1", trace.c_str(), "off", "", on + trace + "; ",
       "ULVANE_TRACE_ARGS=off: texts as their lengths", trace},
      {"--trace", nullptr, nullptr, "--trace " + quoted(trace), on + trace + "; ", "sensitive", trace},
      {"no folder", nowhere.c_str(), nullptr, "", on + nowhere + "; ",
       "; no line is written: its folder does not exist)", ""},
      {"a relative path", "calls.trace", nullptr, "", on + "calls.trace; ",
       "; no line is written: it is a relative path, and the library writes only to a full one)", ""},
      {"a folder", machine.dir.path().c_str(), nullptr, "", on + machine.dir.path() + "; ",
       "; no line is written: it is not a plain file", ""},
      {"a device", "\\\\.\\NUL", nullptr, "", on + "\\\\.\\NUL; ",
       "; no line is written: it is not a plain file", ""},
      {"a second name", linked.c_str(), nullptr, "", on + linked + "; ",
       "; no line is written: it has more than one name (a hard link))", ""},
      {"not a trace", notes.c_str(), nullptr, "", on + notes + "; ",
       "; no line is written: it does not start with the trace header", ""},
      {"a file another program holds", held.c_str(), nullptr, "", on + held + "; ",
       "; no line is written: it cannot be opened for writing: ", ""},
  };
  const std::string files[] = {trace, nowhere, linked, notes, held};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const ScopedEnvironment variable(ULVANE_TRACE_VARIABLE, row.variable);
    const ScopedEnvironment lengths(ULVANE_TRACE_ARGS_VARIABLE, row.lengths);
    std::vector<std::optional<std::string>> before;
    std::vector<std::size_t> calls_before;
    for (const std::string& file : files) {
      before.push_back(read_file(file));
      calls_before.push_back(read_trace(file).calls.size());
    }
    ProcessResult result = doctor("", row.options);
    EXPECT_EQ(result.exit_code, 0u) << result.out;
    const std::size_t start = result.out.find('\n') + 1;
    const std::string line = result.out.substr(start, result.out.find('\n', start) + 1 - start);
    EXPECT_EQ(line.substr(0, row.line.size()), row.line);
    EXPECT_NE(line.find(row.note, row.line.size()), std::string::npos) << line;
    if (row.line.rfind(on, 0) == 0) {
      EXPECT_EQ(line.find("no line is written") == std::string::npos, !row.written.empty()) << line;
    }
    // doctor's own calls go where it says they go, its Sleep(0) first, and nowhere when
    // it says none do.
    for (std::size_t i = 0; i < std::size(files); ++i) {
      if (files[i] != row.written) {
        EXPECT_EQ(read_file(files[i]), before[i]) << files[i];
        continue;
      }
      const Trace after = read_trace(files[i]);
      EXPECT_EQ(after.header, kTraceHeader);
      const std::size_t first = calls_before[i];
      EXPECT_EQ(after.calls.size() > first ? after.calls[first].call() : "<no new line>", "Sleep\t0\t0\t");
    }
  }
}

// A DLL that carries no version resource is named, and called like any other.
TEST(Doctor, NamesALibraryWithoutVersion) {
  StandinServer server;
  Machine machine(server.port_text());
  // A copy whose PE header lists no resources, so no version either.
  std::ifstream original(beside_this_program("Ulvane.dll"), std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(original)), std::istreambuf_iterator<char>());
  ASSERT_GT(image.size(), 0x400u);
  const std::size_t nt = *reinterpret_cast<const DWORD*>(&image[0x3c]);
  const std::size_t resources = nt + offsetof(IMAGE_NT_HEADERS, OptionalHeader.DataDirectory) +
                                IMAGE_DIRECTORY_ENTRY_RESOURCE * sizeof(IMAGE_DATA_DIRECTORY);
  image.replace(resources, sizeof(IMAGE_DATA_DIRECTORY), sizeof(IMAGE_DATA_DIRECTORY), '\0');
  const std::string copy = machine.dir.write("Ulvane.dll", image);

  ProcessResult result =
      run_process(quoted(beside_this_program("ulvane-call.exe")) + " --dll " + quoted(copy) + " doctor");
  std::erase(result.out, '\r');
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1),
            "library: FAILED: " + copy + " has no version resource\n");
  EXPECT_NE(result.out.find("server answers: ok"), std::string::npos) << result.out;
}

// Another process holding the file without sharing it: the install's write would fail too.
TEST(Doctor, ReportsAFileHeldByAnotherProgram) {
  StandinServer server;
  Machine machine(server.port_text());
  HANDLE held =
      CreateFileA(machine.cpf.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ProcessResult result = doctor("");
  CloseHandle(held);
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_NE(result.out.find("configuration file readable: FAILED: "), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("configuration file writable: FAILED: "), std::string::npos) << result.out;
}

// A local server's value is a command line, read as the system reads it; the file it
// names is what doctor checks.
TEST(Doctor, FindsTheFileOfALocalServerCommandLine) {
  ScratchDirectory dir;
  const std::string server = dir.write("srv.exe", "");
  CreateDirectoryA(dir.file("with space").c_str(), nullptr);
  const std::string spaced = dir.write("with space\\srv two.exe", "");
  struct Row {
    std::string command_line;
    std::string file;
  };
  const Row rows[] = {
      {server, server},
      {server + " /automation", server},
      {dir.path() + "\\srv /automation -Embedding", server},
      {"\"" + spaced + "\" /automation", spaced},
      {spaced + " /automation", spaced},
      {dir.path() + "\\missing.exe /automation", dir.path() + "\\missing.exe /automation"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(ulvane::call::local_server_file(row.command_line), row.file) << row.command_line;
}
