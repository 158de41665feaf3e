// ulvane-call.exe, run as a person runs it: output, errors and exit codes.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "support/example_machine.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"
#include "support/trace_lines.h"
#include "common/system_message.h"

using namespace ulvane::test;

namespace {

ProcessResult call_tool(const std::string& arguments, const std::string& directory = "") {
  return run_process(quoted(beside_this_program("ulvane-call.exe")) + " " + arguments, directory);
}

}  // namespace

TEST(CallTool, PrintsResultsVerbatim) {
  ScratchConfigurations registry;
  registry.set_text("A", "Directory", "C:\\A dir\\");
  registry.add("B");
  struct Row {
    std::string arguments;
    const char* out;
  };
  const Row rows[] = {
      {"GetCacheConfig", "A\r\nB\n"},
      {"GetCacheDir A", "C:\\A dir\\\n"},
      {"Sleep 0", "0\n"},
      {"Sleep 0x10", "0\n"},
      {"--dll " + quoted(beside_this_program("Ulvane.dll")) + " GetCacheDir A", "C:\\A dir\\\n"},
  };
  for (const Row& row : rows) {
    ProcessResult result = call_tool(row.arguments);
    EXPECT_EQ(result.exit_code, 0u) << row.arguments << ": " << result.err;
    EXPECT_EQ(result.out, row.out) << row.arguments;
    EXPECT_EQ(result.err, "") << row.arguments;
  }
}

// A call that failed says why on stderr, from the DLL's own GetLastFailure; the result
// and the exit status are what they were. An error the server reports for a line it
// ran is no failure of the call.
TEST(CallTool, SaysWhyACallFailed) {
  StandinServer server;
  const ClosedPort down;
  ScratchConfigurations registry;
  registry.set_text("A", "Directory", "C:\\A dir\\");
  struct Row {
    std::string arguments;
    const char* out;
    DWORD exit_code;
    std::string err;
  };
  const Row rows[] = {
      {"GetCachePort NOPE", "-1\n", 1, "GetCachePort failed: No configuration named 'NOPE' is recorded"},
      {"GetCacheCpf A", "\n", 0, "GetCacheCpf failed: Configuration 'A' has no Properties key"},
      {"GetCacheDir --null", "\n", 0, "GetCacheDir failed: No configuration was named"},
      {"LoadFile 127.0.0.1 " + down.text() + " x.rtn", "0\n", 1,
       "LoadFile failed: cannot connect to cn_iptcp:127.0.0.1[" + down.text() + "]: connection refused"},
      {"Call 127.0.0.1 " + server.port_text() + " USER 1/0", "\n", 0, ""},
      {"GetCacheDir A", "C:\\A dir\\\n", 0, ""},
  };
  for (const Row& row : rows) {
    ProcessResult result = call_tool(row.arguments);
    EXPECT_EQ(result.exit_code, row.exit_code) << row.arguments;
    EXPECT_EQ(result.out, row.out) << row.arguments;
    EXPECT_EQ(result.err, row.err.empty() ? "" : "ulvane-call: " + row.err + "\r\n") << row.arguments;
  }
}

TEST(CallTool, RejectsMisuseWithExitCodeTwo) {
  struct Row {
    const char* arguments;
    const char* message;
  };
  const Row rows[] = {
      {"", "name an export, or doctor"},
      {"NoSuchExport", "unknown export 'NoSuchExport'"},
      {"GetCacheDir", "GetCacheDir takes 1 argument(s) (CONFIG), 0 given"},
      {"GetCacheConfig extra", "GetCacheConfig takes 0 argument(s) (), 1 given"},
      {"Sleep ten", "'ten' is not an integer"},
      {"Sleep 4294967295", "'4294967295' is out of range (-2147483648 to 2147483647)"},
      {"Sleep -2147483649", "'-2147483649' is out of range"},
      {"doctor A B", "doctor takes 0 or 1 argument(s) ([CONFIG]), 2 given"},
      {"--dll", "--dll needs a path"},
      {"--dll \"\" Sleep 0", "--dll needs a path"},
      {"--trace", "--trace needs a file"},
      {"--trace \"\" Sleep 0", "--trace needs a file"},
      {"Call --expect", "--expect needs the answer expected"},
      {"GetCacheDir --expect A A", "--expect is for Call only"},
      {"Call --expect 1 127.0.0.1 1972 USER", "Call takes 4 argument(s)"},
      {"--dll C:\\nowhere\\Ulvane.dll Sleep 0", "cannot load 'C:\\nowhere\\Ulvane.dll'"},
  };
  for (const Row& row : rows) {
    ProcessResult result = call_tool(row.arguments);
    EXPECT_EQ(result.exit_code, 2u) << row.arguments;
    EXPECT_NE(result.err.find(row.message), std::string::npos) << row.arguments << ": " << result.err;
    EXPECT_EQ(result.out, "") << row.arguments;
  }
}

// --dll loads the file named and no other: a relative name is taken from the current
// directory, never found through the DLL search order (which has the Ulvane.dll beside
// the tool first).
TEST(CallTool, LoadsTheDllNamedRelativeToTheCurrentDirectory) {
  ScratchDirectory dir;
  ASSERT_TRUE(CreateDirectoryA(dir.file("copy").c_str(), nullptr));
  ASSERT_TRUE(
      CopyFileA(beside_this_program("Ulvane.dll").c_str(), dir.file("copy\\Ulvane.dll").c_str(), TRUE));
  struct Row {
    const char* dll;
    unsigned long exit_code;
    std::string err;  // how it starts
  };
  const Row rows[] = {
      {"copy\\Ulvane.dll", 0, ""},
      {".\\copy\\..\\copy\\Ulvane.dll", 0, ""},
      {"Ulvane.dll", 2, "ulvane-call: cannot load '" + dir.file("Ulvane.dll") + "': "},
  };
  for (const Row& row : rows) {
    const ProcessResult result = call_tool(std::string("--dll ") + row.dll + " Sleep 0", dir.path());
    EXPECT_EQ(result.exit_code, row.exit_code) << row.dll << ": " << result.err;
    EXPECT_EQ(result.err.substr(0, row.err.size()), row.err) << row.dll;
    EXPECT_EQ(result.err.empty(), row.err.empty()) << row.dll << ": " << result.err;
  }
}

// Scripts decide by the exit status: 1 exactly when the export returned its
// failure value, or when Call's answer is not the one expected.
TEST(CallTool, ExitsWithOneOnTheFailureValue) {
  StandinServer server;
  const ClosedPort down;
  const std::string& down_port = down.text();
  ScratchDirectory dir;
  ScratchConfigurations registry;
  const std::string cpf = dir.write("cache.cpf", crlf_lines({"[Startup]", "DefaultPort=1972"}));
  registry.set_text("A", "Properties", cpf);
  const std::string routine = quoted(server.write_file("R.rtn", "R ; a routine\r\n"));
  const std::string up = "127.0.0.1 " + server.port_text();
  const std::string gone = "127.0.0.1 " + down_port;

  struct Row {
    std::string arguments;
    unsigned long exit_code;
    std::string out;  // its first line, without the line end
  };
  const Row rows[] = {
      {"UpdateCpf " + quoted(cpf), 0, "1"},
      {"UpdateCpf " + quoted(dir.path()), 1, "0"},  // a directory: the write fails
      {"GetCachePort A", 0, "1972"},
      {"GetCachePort NOPE", 1, "-1"},
      {"GetCacheDir NOPE", 0, ""},  // nothing found is not a failure value
      {"LoadRtn " + routine + " " + up + " ULV R", 0, "1"},
      {"LoadRtn " + routine + " " + gone + " ULV R", 1, "0"},
      {"LoadFile " + up + " " + routine, 0, "1"},
      {"LoadFile " + gone + " " + routine, 1, "0"},
      {"Call " + up + " ULV $NAMESPACE", 0, "ULV"},
      {"Call " + gone + " ULV $NAMESPACE", 0, "cannot connect to cn_iptcp:127.0.0.1[" + down_port + "]"},
      {"Call --expect ULV " + up + " ULV $NAMESPACE", 0, "ULV"},
      {"Call --expect ULV " + up + " NOSUCH $NAMESPACE", 1, "USER"},
      {"Call --expect ULV " + gone + " ULV $NAMESPACE", 1, "cannot connect to"},
      {"Sleep 0", 0, "0"},
  };
  for (const Row& row : rows) {
    ProcessResult result = call_tool(row.arguments);
    EXPECT_EQ(result.exit_code, row.exit_code) << row.arguments << ": " << result.out << result.err;
    EXPECT_EQ(result.out.substr(0, row.out.size()), row.out) << row.arguments;
    const bool differed = row.arguments.find("--expect") != std::string::npos && row.exit_code == 1;
    EXPECT_EQ(result.err.find("Call answered something other than 'ULV'") != std::string::npos, differed)
        << row.arguments << ": " << result.err;
  }
  EXPECT_EQ(server.routine("ULV", "R"), "R ; a routine\r\n");
}

TEST(CallTool, ExplainsItselfOnRequest) {
  for (const char* arguments : {"--help", "-h", "--dll C:\\nowhere\\Ulvane.dll --help"}) {
    ProcessResult result = call_tool(arguments);
    EXPECT_EQ(result.exit_code, 0u) << arguments;
    EXPECT_EQ(result.err, "") << arguments;
    for (const char* line :
         {"  UpdateCpf CPF_PATH ", "  GetCachePort CONFIG ", "  GetCacheCpf CONFIG\r\n",
          "  GetCacheDir CONFIG\r\n", "  LoadRtn FILE HOST PORT NAMESPACE ROUTINE ",
          "  Sleep MILLISECONDS\r\n", "  GetCacheConfig\r\n",
          "  Call [--expect TEXT] HOST PORT NAMESPACE EXPRESSION\r\n", "  LoadFile HOST PORT FILE ", "--null",
          "exit status", "[--trace FILE] EXPORT", "[--trace FILE] doctor", "verbatim", "password",
          "sensitive", "never leave it on", ULVANE_TRACE_ARGS_VARIABLE "=0"})
      EXPECT_NE(result.out.find(line), std::string::npos) << arguments << ": " << line;
    EXPECT_EQ(result.out.find(" \r\n"), std::string::npos) << "a line with a trailing blank";
  }
  ProcessResult none = call_tool("");
  EXPECT_EQ(none.exit_code, 2u);
  EXPECT_NE(none.err.find("  LoadFile HOST PORT FILE "), std::string::npos) << none.err;

  ProcessResult version = call_tool("--version");
  EXPECT_EQ(version.exit_code, 0u);
  EXPECT_EQ(version.out, "ulvane-call " ULVANE_VERSION "\r\n");
}

// --trace FILE: each call leaves its line in FILE, whatever it returns; without it the
// tool turns no trace on, and passes on the one its environment names.
TEST(CallTool, TracesToTheFileNamed) {
  const ScopedEnvironment no_trace(ULVANE_TRACE_VARIABLE, nullptr);
  const ScopedEnvironment texts_in_full(ULVANE_TRACE_ARGS_VARIABLE, nullptr);
  StandinServer server;
  const ClosedPort down;
  ScratchDirectory dir;
  ScratchConfigurations registry;
  registry.set_text("A", "Directory", "C:\\A dir\\");
  const std::string trace = dir.file("calls.trace");
  const std::string local = trace_text("127.0.0.1") + ", ";
  const std::string namespace_name = ", " + trace_text("ULV") + ", " + trace_text("$NAMESPACE");
  const std::string kAnswer = "<the answer printed>";

  struct Row {
    std::string arguments;
    std::string export_name, call_arguments, result, failure;
  };
  const Row rows[] = {
      {"GetCacheDir A", "GetCacheDir", trace_text("A"), trace_text("C:\\A dir\\"), ""},
      {"GetCacheDir --null", "GetCacheDir", "null", trace_text(""), trace_text("No configuration was named")},
      {"GetCacheConfig", "GetCacheConfig", "", trace_text("A"), ""},
      {"Sleep 0", "Sleep", "0", "0", ""},
      {"UpdateCpf " + quoted(dir.path()), "UpdateCpf", trace_text(dir.path()), "0",
       trace_text("Unable to write to " + dir.path() + ": " + ulvane::system_message(ERROR_ACCESS_DENIED))},
      {"Call 127.0.0.1 " + server.port_text() + " ULV $NAMESPACE", "Call",
       local + trace_text(server.port_text()) + namespace_name, trace_text("ULV"), ""},
      // Call answers with its failure's message; the line has it as the failure too.
      {"Call 127.0.0.1 " + down.text() + " ULV $NAMESPACE", "Call",
       local + trace_text(down.text()) + namespace_name, kAnswer, kAnswer},
  };
  std::size_t calls = 0;
  for (const Row& row : rows) {
    ProcessResult result = call_tool("--trace " + quoted(trace) + " " + row.arguments);
    const Trace traced = read_trace(trace);
    ASSERT_EQ(traced.calls.size(), ++calls) << row.arguments << ": " << result.err;
    EXPECT_EQ(traced.header, kTraceHeader);
    EXPECT_EQ(traced.comments, std::vector<std::string>{}) << "the header, once";
    const TraceLine& line = traced.calls.back();
    EXPECT_EQ(malformed(line), "") << row.arguments << ": " << line.text;
    const std::string answer = trace_text(result.out.substr(0, result.out.find('\n')));
    auto field = [&](const std::string& expected) { return expected == kAnswer ? answer : expected; };
    EXPECT_EQ(line.call(), row.export_name + "\t" + row.call_arguments + "\t" + field(row.result) + "\t" +
                               field(row.failure))
        << row.arguments;
  }

  const auto files = [&] { return names_matching(dir.file("*")); };
  call_tool("Sleep 0");
  EXPECT_EQ(read_trace(trace).calls.size(), calls) << "a call without --trace";
  EXPECT_EQ(files(), std::set<std::string>{"calls.trace"});

  const std::string inherited = dir.file("inherited.trace");
  const ScopedEnvironment environment(ULVANE_TRACE_VARIABLE, inherited.c_str());
  call_tool("--trace " + quoted(trace) + " Sleep 0");
  EXPECT_EQ(read_trace(trace).calls.size(), calls + 1) << "--trace wins over the environment";
  EXPECT_EQ(files(), std::set<std::string>{"calls.trace"});
  call_tool("Sleep 0");
  EXPECT_EQ(read_trace(inherited).calls.size(), 1u) << "without --trace, the environment's trace";
}
