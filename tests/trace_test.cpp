// The opt-in trace (ULVANE_TRACE): the line each export call appends, what
// ULVANE_TRACE_ARGS keeps back, and that the trace never changes a result, never
// cuts into another line, keeps nothing between calls, makes its file for its owner
// and administrators only and writes to no file that is not a trace's.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "standin_control.h"  // linked: the same module COM loads
#include "support/child_mode.h"
#include "support/example_machine.h"
#include "support/import_hook.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"
#include "support/trace_lines.h"
#include "common/system_message.h"
#include "common/text.h"

using namespace ulvane::test;

namespace {

constexpr const char* kTraceVariable = "ULVANE_TRACE";
constexpr const char* kArgumentsVariable = "ULVANE_TRACE_ARGS";
// The mode of this program that the process test starts its writers in.
constexpr const char* kWriterMode = "writer";
constexpr int kCallsPerThread = 100;

std::string utc_now() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return text;
}

// The file's call lines, each checked to be whole; none when there is no file.
std::vector<TraceLine> trace_lines(const std::string& path) {
  const Trace trace = read_trace(path);
  for (const TraceLine& line : trace.calls) EXPECT_EQ(malformed(line), "") << line.text;
  return trace.calls;
}

std::string number(int value) {
  return std::to_string(value);
}

// A configuration file whose [Startup] section holds the given lines.
std::string startup(const std::string& lines) {
  return "[Startup]\r\n" + lines + "[Namespaces]\r\nNsp_1=%SYS,CACHESYS\r\n[CSP.Applications]\r\n";
}

// One export call, with the line it must leave: the result as the caller sees it is
// compared with the same call untraced; the line's fields are given exactly.
struct TraceCase {
  std::string label;
  std::function<std::string()> call;
  std::string export_name;
  std::string arguments;
  std::string result;
  std::string failure;
  std::string server = "";  // what the server reported for the call's lines
};

// A machine for the table: a stand-in server, a port where nothing listens, and
// configurations whose files answer GetCachePort in each of its ways.
class TracedMachine : public ::testing::Test {
protected:
  void SetUp() override {
    cpf = files.write("cache.cpf", startup("DefaultPort=" + server.port_text() + "\r\n"));
    missing_cpf = files.file("missing.cpf");
    no_port_cpf = files.write("noport.cpf", startup("Other=1\r\n"));
    bad_port_cpf = files.write("badport.cpf", startup("DefaultPort=abc\r\n"));
    broken_cpf = files.write("broken.cpf", "[Namespaces]\r\nNsp_x=USER\r\n");
    registry.set_text("BADPORT", "Properties", bad_port_cpf);
    registry.set_text("LONG", "Directory", std::string(300, 'D'));
    registry.set_text("NEGATIVE", "Properties", files.write("negative.cpf", startup("DefaultPort=-1\r\n")));
    registry.set_text("NOFILE", "Properties", missing_cpf);
    registry.set_text("NOPORT", "Properties", no_port_cpf);
    registry.set_text("TRACED", "Directory", files.path());
    registry.set_text("TRACED", "Properties", cpf);
    routine = server.write_file("traced.rtn", "TRACED ; traced\r\n Q\r\n");
  }

  // Runs the call untraced, then traced into a new file with ULVANE_TRACE_ARGS as
  // given; checks the one line it left.
  void expect_line(const TraceCase& row, const char* arguments_variable = nullptr) {
    SCOPED_TRACE(row.label);
    const std::string untraced = row.call();
    // The same reason, whether traced or not: the failure field, unquoted.
    const std::string untraced_reason = library().GetLastFailure();
    ScratchDirectory trace_files;
    const std::string path = trace_files.file("trace.log");
    std::string traced;
    std::string before, after;
    {
      ScopedEnvironment trace(kTraceVariable, path.c_str());
      ScopedEnvironment arguments(kArgumentsVariable, arguments_variable);
      before = utc_now();
      traced = row.call();
      after = utc_now();
    }
    const std::string traced_reason = library().GetLastFailure();
    EXPECT_EQ(traced, untraced) << "the trace changed the result";
    EXPECT_EQ(traced_reason, untraced_reason) << "the trace changed the reason";
    EXPECT_EQ(untraced_reason.empty() ? "" : trace_text(untraced_reason), row.failure)
        << "GetLastFailure differs from the trace";
    const std::optional<std::string> text = read_file(path);
    ASSERT_TRUE(text);
    EXPECT_EQ(read_trace(path).header, kTraceHeader);
    const std::vector<TraceLine> lines = trace_lines(path);
    ASSERT_EQ(lines.size(), 1u) << *text;
    const TraceLine& line = lines[0];
    EXPECT_EQ(line.field(kExport), row.export_name);
    EXPECT_EQ(line.field(kArguments), row.arguments);
    EXPECT_EQ(line.field(kResult), row.result);
    EXPECT_EQ(line.field(kFailure), row.failure);
    EXPECT_EQ(line.field(kServer), row.server);
    EXPECT_EQ(line.field(kProcess), number(GetCurrentProcessId()));
    EXPECT_EQ(line.field(kThread), number(GetCurrentThreadId()));
    EXPECT_TRUE(before <= line.field(kTime) && line.field(kTime) <= after)
        << before << " " << line.field(kTime) << " " << after;
  }

  StandinServer server;
  ClosedPort closed;
  ScratchConfigurations registry;
  ScratchDirectory files;
  std::string cpf, missing_cpf, no_port_cpf, bad_port_cpf, broken_cpf, routine;
};

// What the stand-in control says when nothing listens at the port.
std::string refused(const ClosedPort& closed) {
  return "cannot connect to cn_iptcp:127.0.0.1[" + closed.text() + "]: connection refused";
}

}  // namespace

TEST_F(TracedMachine, EachExportLeavesItsLineOnSuccessAndOnFailure) {
  const UlvaneApi& api = library();
  const std::string host = server.host();
  const std::string port = server.port_text();
  const std::string down = closed.text();
  const std::string server_args = "\"" + host + "\", \"" + port + "\"";
  const std::string down_args = "\"127.0.0.1\", \"" + down + "\"";
  const std::string unwritable = files.file("no such folder\\cache.cpf");
  const std::string control_chars = std::string("\x01\x1f\t\r\n\"\\\x7f\xe9 end");
  const std::string long_name(5000, 'L');
  const std::string long_shown = "\"" + std::string(200, 'L') + "\"...(5000 bytes)";
  const TraceCase rows[] = {
      {"UpdateCpf registers", [&] { return number(api.UpdateCpf(cpf.c_str())); }, "UpdateCpf",
       trace_text(cpf), "1", ""},
      {"UpdateCpf cannot write", [&] { return number(api.UpdateCpf(unwritable.c_str())); }, "UpdateCpf",
       trace_text(unwritable), "0",
       trace_text("Unable to write to " + unwritable + ": " + ulvane::system_message(ERROR_PATH_NOT_FOUND))},
      {"UpdateCpf meets a key it cannot number", [&] { return number(api.UpdateCpf(broken_cpf.c_str())); },
       "UpdateCpf", trace_text(broken_cpf), "0", "\"'x' is not a valid integer value\""},
      {"GetCachePort reads the port", [&] { return number(api.GetCachePort("TRACED")); }, "GetCachePort",
       "\"TRACED\"", port, ""},
      {"GetCachePort reads a stored -1", [&] { return number(api.GetCachePort("NEGATIVE")); }, "GetCachePort",
       "\"NEGATIVE\"", "-1", ""},
      {"GetCachePort of no configuration", [&] { return number(api.GetCachePort("NONE")); }, "GetCachePort",
       "\"NONE\"", "-1", "\"No configuration named 'NONE' is recorded\""},
      {"GetCachePort without its file", [&] { return number(api.GetCachePort("NOFILE")); }, "GetCachePort",
       "\"NOFILE\"", "-1",
       trace_text("Unable to read " + missing_cpf + ": " + ulvane::system_message(ERROR_FILE_NOT_FOUND))},
      {"GetCachePort without the key", [&] { return number(api.GetCachePort("NOPORT")); }, "GetCachePort",
       "\"NOPORT\"", "-1", trace_text("No DefaultPort in section Startup of " + no_port_cpf)},
      {"GetCachePort of no number", [&] { return number(api.GetCachePort("BADPORT")); }, "GetCachePort",
       "\"BADPORT\"", "-1",
       trace_text("'abc' is not a valid integer value (DefaultPort in section Startup of " + bad_port_cpf +
                  ")")},
      {"GetCacheCpf", [&] { return std::string(api.GetCacheCpf("TRACED")); }, "GetCacheCpf", "\"TRACED\"",
       trace_text(cpf), ""},
      {"GetCacheCpf of no configuration", [&] { return std::string(api.GetCacheCpf("NONE")); }, "GetCacheCpf",
       "\"NONE\"", "\"\"", "\"No configuration named 'NONE' is recorded\""},
      {"GetCacheCpf without the key", [&] { return std::string(api.GetCacheCpf("LONG")); }, "GetCacheCpf",
       "\"LONG\"", "\"\"", "\"Configuration 'LONG' has no Properties key\""},
      {"GetCacheDir", [&] { return std::string(api.GetCacheDir("TRACED")); }, "GetCacheDir", "\"TRACED\"",
       trace_text(files.path()), ""},
      {"GetCacheDir of a null pointer", [&] { return std::string(api.GetCacheDir(nullptr)); }, "GetCacheDir",
       "null", "\"\"", "\"No configuration was named\""},
      {"GetCacheDir of a long name", [&] { return std::string(api.GetCacheDir(long_name.c_str())); },
       "GetCacheDir", long_shown, "\"\"",
       "\"No configuration is recorded under a name of 5000 characters (a key name has at most 255)\""},
      {"GetCacheDir giving a long text", [&] { return std::string(api.GetCacheDir("LONG")); }, "GetCacheDir",
       "\"LONG\"", "\"" + std::string(200, 'D') + "\"...(300 bytes)", ""},
      {"GetCacheDir of control characters",
       [&] { return std::string(api.GetCacheDir(control_chars.c_str())); }, "GetCacheDir",
       trace_text(control_chars), "\"\"",
       trace_text("No configuration named '" + control_chars + "' is recorded")},
      {"GetCacheConfig", [&] { return std::string(api.GetCacheConfig()); }, "GetCacheConfig", "",
       "\"BADPORT\\r\\nLONG\\r\\nNEGATIVE\\r\\nNOFILE\\r\\nNOPORT\\r\\nTRACED\"", ""},
      {"LoadRtn loads",
       [&] { return number(api.LoadRtn(routine.c_str(), host.c_str(), port.c_str(), "ULV", "TRACED")); },
       "LoadRtn", trace_text(routine) + ", " + server_args + ", \"ULV\", \"TRACED\"", "1", ""},
      {"LoadRtn where nothing listens",
       [&] { return number(api.LoadRtn(routine.c_str(), "127.0.0.1", down.c_str(), "ULV", "TRACED")); },
       "LoadRtn", trace_text(routine) + ", " + down_args + ", \"ULV\", \"TRACED\"", "0",
       "\"" + refused(closed) + "\""},
      {"LoadFile loads", [&] { return number(api.LoadFile(host.c_str(), port.c_str(), routine.c_str())); },
       "LoadFile", server_args + ", " + trace_text(routine), "1", ""},
      {"LoadFile where nothing listens",
       [&] { return number(api.LoadFile("127.0.0.1", down.c_str(), nullptr)); }, "LoadFile",
       down_args + ", null", "0", "\"" + refused(closed) + "\""},
      {"Call answers", [&] { return std::string(api.Call(host.c_str(), port.c_str(), "USER", "6*7")); },
       "Call", server_args + ", \"USER\", \"6*7\"", "\"42\"", ""},
      {"Call where nothing listens",
       [&] { return std::string(api.Call("127.0.0.1", down.c_str(), "USER", "\"a\tb\"")); }, "Call",
       down_args + ", \"USER\", \"\\\"a\\tb\\\"\"", "\"" + refused(closed) + "\"",
       "\"" + refused(closed) + "\""},
      {"Call the server refuses",
       [&] { return std::string(api.Call(host.c_str(), port.c_str(), "USER", "1/0")); }, "Call",
       server_args + ", \"USER\", \"1/0\"", "\"\"", "", "line 1: Error=1 ErrorName=\"<DIVIDE>\""},
      {"LoadFile of a file the server cannot read",
       [&] { return number(api.LoadFile(host.c_str(), port.c_str(), "Z:\\no such file.rtn")); }, "LoadFile",
       server_args + ", \"Z:\\\\no such file.rtn\"", "1", "",
       "line 2: Error=1 ErrorName=" +
           trace_text("cannot open routine file \"Z:\\no such file.rtn\": no such file")},
      {"Call the control fails",
       [&] {
         StandinSetFaults("RunCode=exception:0x80004005:<SYNTAX>");
         std::string answer = api.Call(host.c_str(), port.c_str(), "USER", "1");
         StandinSetFaults("");
         return answer;
       },
       "Call", server_args + ", \"USER\", \"1\"", "\"<SYNTAX>\"", "\"<SYNTAX>\""},
      {"Sleep", [&] { return number(api.Sleep(0)); }, "Sleep", "0", "0", ""},
  };
  for (const TraceCase& row : rows) expect_line(row);
}

// What the server said is read only with the trace on: untraced, the control sees the
// calls it always has; traced, the same with Error and ErrorName read after each line.
TEST_F(TracedMachine, AsksTheControlForTheServersErrorOnlyWhenTracing) {
  const UlvaneApi& api = library();
  const std::string host = server.host();
  const std::string port = server.port_text();
  auto control_log = [&] {
    StandinResetLog();
    EXPECT_STREQ(api.Call(host.c_str(), port.c_str(), "USER", "1/0"), "");
    EXPECT_STREQ(api.GetLastFailure(), "") << "a server's error is no failure of the call";
    return std::string(StandinLog());
  };
  const std::string untraced = control_log();
  ScratchDirectory trace_files;
  std::string traced;
  {
    ScopedEnvironment trace(kTraceVariable, trace_files.file("trace.log").c_str());
    traced = control_log();
  }
  const std::string run_line = "RunCode \"S P1=1/0\"\n";
  std::string expected = untraced;
  const std::size_t after_run = expected.find(run_line);
  ASSERT_NE(after_run, std::string::npos) << untraced;
  expected.insert(after_run + run_line.size(),
                  "get 15 Error -> VT_I4 1\n"
                  "get 16 ErrorName -> VT_BSTR \"<DIVIDE>\"\n");
  EXPECT_EQ(traced, expected);
}

// With ULVANE_TRACE_ARGS=0 texts are shown by their length (in bytes, as given) only;
// a null pointer, a number and the failure's message stay as they are.
TEST_F(TracedMachine, LengthsOnlyKeepTheTextsBack) {
  const UlvaneApi& api = library();
  const std::string down = closed.text();
  const std::string secret = "$$Login^ULV(\"admin\",\"s3cret\")";
  const TraceCase rows[] = {
      {"Call", [&] { return std::string(api.Call("127.0.0.1", down.c_str(), nullptr, secret.c_str())); },
       "Call",
       "(9 bytes), (" + number(static_cast<int>(down.size())) + " bytes), null, (" +
           number(static_cast<int>(secret.size())) + " bytes)",
       "(" + number(static_cast<int>(refused(closed).size())) + " bytes)", "\"" + refused(closed) + "\""},
      {"GetCacheDir", [&] { return std::string(api.GetCacheDir("TRACED")); }, "GetCacheDir", "(6 bytes)",
       "(" + number(static_cast<int>(files.path().size())) + " bytes)", ""},
      {"Sleep", [&] { return number(api.Sleep(1)); }, "Sleep", "1", "0", ""},
  };
  for (const TraceCase& row : rows) expect_line(row, "0");
}

// ULVANE_TRACE_ARGS fails closed: only unset or exactly "1" shows the texts.
TEST_F(TracedMachine, OnlyUnsetOrOneShowsTheTexts) {
  const UlvaneApi& api = library();
  const std::string directory = trace_text(files.path());
  const std::string directory_length = "(" + number(static_cast<int>(files.path().size())) + " bytes)";
  const char* values[] = {nullptr, "1", "0", "off", "no", "false", " 0", "", "2", "1 ", "01", "true"};
  for (const char* value : values) {
    const bool texts = !value || std::string_view(value) == "1";
    TraceCase row{value ? std::string("set to '").append(value).append("'") : "unset",
                  [&] { return std::string(api.GetCacheDir("TRACED")); },
                  "GetCacheDir",
                  texts ? "\"TRACED\"" : "(6 bytes)",
                  texts ? directory : directory_length,
                  ""};
    expect_line(row, value);
  }
}

// The variable is read at each call: unset or empty, nothing is written anywhere in
// its folder, and a call after it is unset adds nothing to the file it named.
TEST_F(TracedMachine, WithoutTheVariableNothingIsWritten) {
  const UlvaneApi& api = library();
  ScratchDirectory trace_files;
  const std::string path = trace_files.file("trace.log");
  auto calls = [&] {
    api.GetCacheConfig();
    api.GetCacheDir("TRACED");
    api.GetCachePort("NONE");
    api.UpdateCpf(cpf.c_str());
    api.LoadRtn(routine.c_str(), "127.0.0.1", closed.text().c_str(), "ULV", "TRACED");
    api.Sleep(0);
  };
  {
    ScopedEnvironment empty(kTraceVariable, "");
    calls();
  }
  calls();
  EXPECT_EQ(names_matching(trace_files.path() + "\\*"), std::set<std::string>{});
  {
    ScopedEnvironment trace(kTraceVariable, path.c_str());
    api.Sleep(0);
  }
  calls();
  EXPECT_EQ(trace_lines(path).size(), 1u);
}

// A file the trace cannot open or write takes no line, and every result stays as it is.
TEST_F(TracedMachine, AnUnwritableTraceChangesNoResult) {
  const UlvaneApi& api = library();
  ScratchDirectory trace_files;
  const std::string held = trace_files.write("held.log", "held\r\n");
  // Another program holds it open and shares it with nobody.
  HANDLE holder = CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  auto results = [&] {
    return std::string(api.GetCacheConfig()) + "|" + api.GetCacheDir("TRACED") + "|" +
           api.GetCacheCpf("TRACED") + "|" + number(api.GetCachePort("TRACED")) + "|" +
           number(api.GetCachePort("NOFILE")) + "|" + number(api.UpdateCpf(cpf.c_str())) + "|" +
           number(api.LoadRtn(routine.c_str(), "127.0.0.1", closed.text().c_str(), "ULV", "TRACED")) + "|" +
           api.Call(server.host().c_str(), server.port_text().c_str(), "USER", "6*7") + "|" +
           number(api.Sleep(0));
  };
  const std::string untraced = results();
  const std::string paths[] = {
      trace_files.path(),                                         // a folder
      trace_files.file("no such folder\\trace.log"),              // in a folder that is not there
      held, "\\\\?\\" + trace_files.file(std::string(300, 'x')),  // a name longer than any file name
  };
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    ScopedEnvironment trace(kTraceVariable, path.c_str());
    EXPECT_EQ(results(), untraced);
  }
  CloseHandle(holder);
  EXPECT_EQ(read_file(held), "held\r\n");
}

namespace {

// A whole line as another writer leaves it.
constexpr const char* kOtherWritersLine = "2026-12-11T00:00:00.000Z\t1\t2\tSleep\t9\t0\t0\t\r\n";

// What the platform answers the library about a file, where Wine cannot make the file
// so: it keeps no owner but the one it derives from the Unix file (SetFileSecurity
// leaves it as it is), and shows no reparse point (a symbolic link made on the Unix
// side is a plain file to it, and CreateSymbolicLink makes nothing).
const char* answered_owner = nullptr;  // in the platform's own notation
decltype(&GetSecurityInfo) real_get_security_info = nullptr;
decltype(&GetFileInformationByHandle) real_get_file_information = nullptr;

DWORD WINAPI owner_answering_get_security_info(HANDLE file, SE_OBJECT_TYPE type, SECURITY_INFORMATION wanted,
                                               PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                               PSECURITY_DESCRIPTOR* descriptor) {
  const std::string sddl = "O:" + std::string(answered_owner);
  PSECURITY_DESCRIPTOR answer = nullptr;
  BOOL defaulted = FALSE;
  if (!owner || !descriptor ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &answer,
                                                            nullptr) ||
      !GetSecurityDescriptorOwner(answer, owner, &defaulted))
    return real_get_security_info(file, type, wanted, owner, group, dacl, sacl, descriptor);
  *descriptor = answer;  // the caller frees it, as it frees the platform's
  return ERROR_SUCCESS;
}

BOOL WINAPI reparse_answering_get_file_information(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
  if (!real_get_file_information(file, information)) return FALSE;
  information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return TRUE;
}

}  // namespace

// A file that is there already takes lines only when it is one a trace could have
// made: one plain file under one name, its user's or Administrators', starting with
// the header (or empty, as a trace is between its making and its first line). Any
// other keeps what it holds, and every call its result.
TEST(Trace, WritesToAnExistingFileOnlyWhenItIsATrace) {
  const std::string header = std::string(kTraceHeader) + "\r\n";
  struct Row {
    const char* label;
    std::string holds;
    std::optional<std::string> before_line;  // what then precedes the new line; nullopt: kept as it is
    bool second_name = false;                // a hard link names it too
    const char* owner = nullptr;             // the owner the platform answers; nullptr: the file's own
    bool reparse_point = false;              // the platform answers that it is one
  };
  const Row rows[] = {
      {"a trace", header + kOtherWritersLine, header + kOtherWritersLine},
      {"an empty file", "", header},
      {"a trace whose last line was cut short", header + "2026-12", header + "2026-12\r\n"},
      {"a trace owned by Administrators", header, header, false, "BA"},
      {"a file of the author's own", "# the author's own note\r\n", std::nullopt},
      {"a trace of the first format", "# Ulvane trace: time\tprocess\tthread\r\n", std::nullopt},
      {"the start of a header", header.substr(0, 20), std::nullopt},
      {"a trace with a second name", header, std::nullopt, true},
      {"a trace owned by another user", header, std::nullopt, false, "S-1-5-21-1-2-3-1001"},
      {"a trace owned by the system", header, std::nullopt, false, "SY"},
      {"a reparse point", header, std::nullopt, false, nullptr, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ScratchDirectory trace_files;
    const std::string path = trace_files.write("trace.log", row.holds);
    const std::string other_name = trace_files.file("other name.log");
    if (row.second_name) {
      ASSERT_TRUE(CreateHardLinkA(other_name.c_str(), path.c_str(), nullptr));
    }
    std::optional<ImportHook> owner_hook;
    std::optional<ImportHook> reparse_hook;
    if (row.owner) {
      answered_owner = row.owner;
      owner_hook.emplace(library_module(), "advapi32.dll", "GetSecurityInfo",
                         reinterpret_cast<const void*>(&owner_answering_get_security_info));
      real_get_security_info = owner_hook->original<decltype(&GetSecurityInfo)>();
    }
    if (row.reparse_point) {
      reparse_hook.emplace(library_module(), "kernel32.dll", "GetFileInformationByHandle",
                           reinterpret_cast<const void*>(&reparse_answering_get_file_information));
      real_get_file_information = reparse_hook->original<decltype(&GetFileInformationByHandle)>();
    }
    {
      ScopedEnvironment trace(kTraceVariable, path.c_str());
      EXPECT_EQ(library().Sleep(0), 0);
    }
    owner_hook.reset();
    reparse_hook.reset();
    const std::string text = read_file(path).value_or("<no file>");
    if (!row.before_line) {
      EXPECT_EQ(text, row.holds);
      continue;
    }
    const std::vector<TraceLine> lines = read_trace(path).calls;
    if (text.substr(0, row.before_line->size()) != *row.before_line || lines.empty()) {
      ADD_FAILURE() << "not after " << *row.before_line << ": " << text;
      continue;
    }
    EXPECT_EQ(text.substr(row.before_line->size()), lines.back().text + "\r\n");
    EXPECT_EQ(malformed(lines.back()), "");
    EXPECT_EQ(lines.back().call(), "Sleep\t0\t0\t");
  }
}

// Only a full path is written to: a relative one would put the arguments wherever
// the host's current folder happens to be.
TEST(Trace, ARelativePathIsRefused) {
  ScratchDirectory current;
  char previous[MAX_PATH] = "";
  ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryA(current.path().c_str()));
  const std::string drive = current.path().substr(0, 2);
  const std::string rooted = "\\ulvane-rooted-" + number(GetCurrentProcessId()) + ".trace";
  const std::string paths[] = {"trace.log", ".\\trace.log", "sub\\..\\trace.log", drive + "trace.log",
                               rooted};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    ScopedEnvironment trace(kTraceVariable, path.c_str());
    EXPECT_EQ(library().Sleep(0), 0);
  }
  SetCurrentDirectoryA(previous);
  EXPECT_EQ(names_matching(current.path() + "\\*"), std::set<std::string>{});
  EXPECT_EQ(GetFileAttributesA((drive + rooted).c_str()), INVALID_FILE_ATTRIBUTES);
}

// The variable is read, and the file opened, in UTF-16: a host that sets it with
// SetEnvironmentVariableW (as the Inno Setup example does) may name a folder that no
// ANSI code page spells.
TEST(Trace, FollowsAPathOnlyUtf16Spells) {
  ScratchDirectory trace_files;
  // Cyrillic, a check mark and Greek: in no single ANSI code page together.
  const std::wstring folder = ulvane::to_wide(trace_files.path()) + L"\\\u0436\u2713\u03a9";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring path = folder + L"\\trace.log";
  {
    ScopedEnvironment trace(kTraceVariable, nullptr);  // and restores it after
    SetEnvironmentVariableW(L"ULVANE_TRACE", path.c_str());
    library().Sleep(0);
  }
  // Moved to a name the test's own ANSI reading can open.
  const std::string moved = trace_files.file("trace.log");
  const bool made = MoveFileW(path.c_str(), ulvane::to_wide(moved).c_str());
  RemoveDirectoryW(folder.c_str());
  ASSERT_TRUE(made) << "no trace in the folder: error " << GetLastError();
  const Trace trace = read_trace(moved);
  EXPECT_EQ(trace.header, kTraceHeader);
  EXPECT_EQ(calls_of(trace), "Sleep\t0\t0\t\n");
}

namespace {

decltype(&WriteFile) real_write_file = nullptr;

// A disk that fills up in the middle of a line.
BOOL WINAPI short_write_file(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  real_write_file(file, data, size > 3 ? size - 3 : 0, written, overlapped);
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

}  // namespace

// A write cut short leaves a torn line, and the next writer starts its own on a line
// of its own, so only the torn one is lost. The failed write changes neither the
// call's result nor its last error.
TEST(Trace, AWriteCutShortLeavesTheNextLineWhole) {
  ScratchDirectory trace_files;
  const std::string path = trace_files.file("trace.log");
  ScopedEnvironment trace(kTraceVariable, path.c_str());
  library().Sleep(0);
  {
    ImportHook hook(library_module(), "kernel32.dll", "WriteFile",
                    reinterpret_cast<const void*>(&short_write_file));
    real_write_file = hook.original<decltype(&WriteFile)>();
    SetLastError(12345);
    EXPECT_EQ(library().Sleep(1), 0);
    EXPECT_EQ(GetLastError(), 12345u);
  }
  library().Sleep(2);
  const Trace lines = read_trace(path);
  EXPECT_EQ(lines.header, kTraceHeader);
  ASSERT_EQ(lines.calls.size(), 3u) << calls_of(lines);
  EXPECT_EQ(lines.calls[0].call(), "Sleep\t0\t0\t");
  EXPECT_NE(malformed(lines.calls[1]), "") << "the torn line: " << lines.calls[1].text;
  EXPECT_EQ(lines.calls[1].field(kArguments), "1");
  EXPECT_EQ(lines.calls[2].call(), "Sleep\t2\t0\t");
  EXPECT_EQ(malformed(lines.calls[2]), "");
}

namespace {

// Calls from several threads at once, each with its own argument; every line must be
// whole and carry its own thread's argument.
std::vector<std::string> call_from_threads(int threads) {
  std::vector<std::string> names;
  for (int i = 0; i < threads; ++i) names.push_back("THREAD" + number(i) + std::string(150, 'T'));
  std::vector<std::thread> running;
  for (const std::string& name : names)
    running.emplace_back([&name] {
      for (int call = 0; call < kCallsPerThread; ++call) library().GetCacheDir(name.c_str());
    });
  for (std::thread& thread : running) thread.join();
  return names;
}

void expect_lines_of(const std::vector<TraceLine>& lines, const std::vector<std::string>& names,
                     std::size_t processes) {
  std::set<std::string> seen_processes;
  std::set<std::string> seen_threads;
  for (const TraceLine& line : lines) {
    seen_processes.insert(line.field(kProcess));
    seen_threads.insert(line.field(kProcess) + "/" + line.field(kThread));
    EXPECT_EQ(line.field(kExport), "GetCacheDir");
    const bool known = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
      return line.field(kArguments) == "\"" + name + "\"";
    });
    EXPECT_TRUE(known) << line.field(kArguments);
  }
  EXPECT_EQ(seen_processes.size(), processes);
  EXPECT_EQ(seen_threads.size(), processes * names.size());
  EXPECT_EQ(lines.size(), processes * names.size() * kCallsPerThread);
}

}  // namespace

TEST(Trace, LinesOfThreadsWritingAtOnceStayWhole) {
  ScratchDirectory trace_files;
  const std::string path = trace_files.file("trace.log");
  std::vector<std::string> names;
  {
    ScopedEnvironment trace(kTraceVariable, path.c_str());
    names = call_from_threads(4);
  }
  expect_lines_of(trace_lines(path), names, 1);
  // Whoever writes first into the new file writes the header, whichever thread made it.
  EXPECT_EQ(read_file(path)->find(kTraceHeader), 0u);
  EXPECT_EQ(read_trace(path).comments, std::vector<std::string>{});
}

TEST(Trace, LinesOfProcessesWritingAtOnceStayWhole) {
  constexpr int kWriters = 3;
  ScratchDirectory trace_files;
  const std::string path = trace_files.file("trace.log");
  std::vector<PROCESS_INFORMATION> writers;
  {
    ScopedEnvironment trace(kTraceVariable, path.c_str());
    std::string command = child_command(kWriterMode);
    for (int i = 0; i < kWriters; ++i) {
      STARTUPINFOA startup{};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION process{};
      ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &process));
      writers.push_back(process);
    }
    // This process writes too, meanwhile: lines of four processes at once.
    call_from_threads(2);
  }
  for (PROCESS_INFORMATION& process : writers) {
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  std::vector<std::string> names;
  for (int i = 0; i < 2; ++i) names.push_back("THREAD" + number(i) + std::string(150, 'T'));
  expect_lines_of(trace_lines(path), names, kWriters + 1);
  EXPECT_EQ(read_trace(path).header, kTraceHeader);
  EXPECT_EQ(read_trace(path).comments, std::vector<std::string>{});
}

namespace {

std::string user_sid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<char> buffer(size);
  GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  CloseHandle(token);
  char* text = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
    return "<no user>";
  std::string sid = text;
  LocalFree(text);
  return sid;
}

// What the library asks of CreateFileW: the access list it gives a file it makes, in
// the platform's own notation. Wine keeps no access list of its own on a file (it
// answers one derived from the Unix mode), so the request is what can be checked here.
struct CreateRequest {
  std::string path;
  std::string access_list;
  DWORD disposition;
  bool operator==(const CreateRequest&) const = default;
};
std::ostream& operator<<(std::ostream& out, const CreateRequest& request) {
  return out << request.path << " " << request.access_list << " " << request.disposition;
}
std::vector<CreateRequest> create_requests;
decltype(&CreateFileW) real_create_file = nullptr;
// Runs before a request to make a new file reaches the platform: another writer's turn.
std::function<void()> before_making;

HANDLE WINAPI recording_create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                    DWORD disposition, DWORD flags, HANDLE template_file) {
  std::string list = "<none>";
  char* text = nullptr;
  if (attributes && attributes->lpSecurityDescriptor &&
      ConvertSecurityDescriptorToStringSecurityDescriptorA(attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text, nullptr)) {
    list = text;
    LocalFree(text);
  }
  create_requests.push_back({ulvane::to_ansi(std::wstring_view(path)), list, disposition});
  if (disposition == CREATE_NEW && before_making) before_making();
  return real_create_file(path, access, share, attributes, disposition, flags, template_file);
}

// Calls Sleep(0) and Sleep(1) traced into path, recording what the library asks of
// CreateFileW.
void trace_two_calls(const std::string& path) {
  create_requests.clear();
  ImportHook hook(library_module(), "kernel32.dll", "CreateFileW",
                  reinterpret_cast<const void*>(&recording_create_file));
  real_create_file = hook.original<decltype(&CreateFileW)>();
  ScopedEnvironment trace(kTraceVariable, path.c_str());
  library().Sleep(0);
  library().Sleep(1);
}

}  // namespace

// A trace holds arguments verbatim, passwords included: the file it makes gives full
// access to the calling user and to Administrators, and inherits nothing else. It is
// made new, never over another; the access list goes with that request only.
TEST(Trace, ItsFileIsForItsOwnerAndAdministratorsOnly) {
  ScratchDirectory trace_files;
  const std::string path = trace_files.file("trace.log");
  trace_two_calls(path);
  const std::string owner_only = "D:P(A;;FA;;;" + user_sid() + ")(A;;FA;;;BA)";
  const std::vector<CreateRequest> expected = {
      {path, "<none>", OPEN_EXISTING}, {path, owner_only, CREATE_NEW}, {path, "<none>", OPEN_EXISTING}};
  EXPECT_EQ(create_requests, expected);
  EXPECT_EQ(calls_of(read_trace(path)), "Sleep\t0\t0\t\nSleep\t1\t0\t\n");
}

// Another writer makes the file between the library's look and its making: the file
// is theirs, used as any file that was there, after their header and line.
TEST(Trace, AFileAnotherWriterMakesFirstIsAppendedTo) {
  ScratchDirectory trace_files;
  const std::string path = trace_files.file("trace.log");
  const std::string theirs = std::string(kTraceHeader) + "\r\n" + kOtherWritersLine;
  before_making = [&] { trace_files.write("trace.log", theirs); };
  trace_two_calls(path);
  before_making = nullptr;
  const std::vector<CreateRequest> expected = {
      {path, "<none>", OPEN_EXISTING},
      {path, "D:P(A;;FA;;;" + user_sid() + ")(A;;FA;;;BA)", CREATE_NEW},
      {path, "<none>", OPEN_EXISTING},
      {path, "<none>", OPEN_EXISTING}};
  EXPECT_EQ(create_requests, expected);
  EXPECT_EQ(read_file(path)->substr(0, theirs.size()), theirs);
  EXPECT_EQ(calls_of(read_trace(path)), "Sleep\t9\t0\t\nSleep\t0\t0\t\nSleep\t1\t0\t\n");
}

// A host may read the thread's last error after a call: looking the variable up and
// writing the line leave it as the call's own work left it (Sleep's work sets none).
TEST(Trace, LeavesTheThreadsLastErrorAlone) {
  ScratchDirectory trace_files;
  const std::string paths[] = {"", trace_files.file("trace.log")};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path.empty() ? "unset" : path);
    ScopedEnvironment trace(kTraceVariable, path.empty() ? nullptr : path.c_str());
    SetLastError(12345);
    library().Sleep(0);
    EXPECT_EQ(GetLastError(), 12345u);
  }
  EXPECT_EQ(trace_lines(trace_files.file("trace.log")).size(), 1u);
}

int main(int argc, char** argv) {
  // A writer of the process test: two threads' calls into the trace it inherits.
  return run_child_or_tests(argc, argv, {{kWriterMode, [](const std::vector<std::string>&) {
                                            call_from_threads(2);
                                            return 0;
                                          }}});
}
