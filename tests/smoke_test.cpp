// Every export of the DLL once, on its succeeding path, in one process, and the failing
// paths beside a host's shared unwinder: the check that still runs where 32-bit
// programs only run through a slow emulator (tests/smoke.sh starts it). It registers the stand-in control
// itself, so the machine pays for one 32-bit process start, not two.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/example_machine.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/shared_unwinder.h"
#include "support/standin_server.h"
#include "support/trace_lines.h"

using namespace ulvane::test;

namespace {

const std::string kRoutine = "ULVSMOKE\r\n W \"smoke\",!\r\n Q\r\n";
const std::string kInstallRoutine = "ULVINST\r\n Q\r\n";

// The stand-in control beside this program, registered in this process's registry
// view (the 32-bit one for the product) for as long as the object lives.
class RegisteredControl {
public:
  RegisteredControl() : module_(LoadLibraryA(beside_this_program("standin-control.dll").c_str())) {
    if (module_) registered_ = entry("DllRegisterServer")() == S_OK;
  }
  ~RegisteredControl() {
    if (registered_) entry("DllUnregisterServer")();
    if (module_) FreeLibrary(module_);
  }
  RegisteredControl(const RegisteredControl&) = delete;
  RegisteredControl& operator=(const RegisteredControl&) = delete;

  bool registered() const { return registered_; }

private:
  using Entry = HRESULT(__stdcall*)();
  Entry entry(const char* name) const {
    return reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  HMODULE module_;
  bool registered_ = false;
};

// The stand-in server: started by StandinServer (ULVANE_STANDIN_SERVER may name the
// 64-bit one), with room for a slow start and slow calls under an emulator.
StandinServer::Options slow_machine() {
  StandinServer::Options options;
  options.lifetime_seconds = 600;
  return options;
}

std::string load_line(const std::string& file, const std::string& routine) {
  return "S F=\"" + file + "\" O F U F ZL  ZS " + routine + " C F";
}

}  // namespace

TEST(Smoke, InstallsWithEveryExport) {
  RegisteredControl control;
  ASSERT_TRUE(control.registered());
  const UlvaneApi& api = library();
  ASSERT_TRUE(api.UpdateCpf && api.GetCachePort && api.GetCacheCpf && api.GetCacheDir && api.LoadRtn &&
              api.Sleep && api.GetCacheConfig && api.Call && api.LoadFile && api.GetLastFailure)
      << library_path() << " lacks an export";

  StandinServer server(slow_machine());
  const std::string host = server.host();
  const std::string port = server.port_text();
  ScratchConfigurations registry;
  Configuration cache(registry, "CACHE", port);
  const std::string cpf = cache.dir.path() + "\\cache.cpf";

  EXPECT_STREQ(api.GetCacheConfig(), "CACHE");
  EXPECT_EQ(api.GetCacheDir("CACHE"), cache.dir.path() + "\\");
  EXPECT_EQ(api.GetCacheCpf("CACHE"), cpf);
  EXPECT_EQ(api.GetCachePort("CACHE"), int(server.port()));
  EXPECT_EQ(api.UpdateCpf(cpf.c_str()), 1);
  EXPECT_EQ(cache.dir.read("cache.cpf"), configuration_file(port, true));

  const std::string routine_file = server.write_file("ULVSMOKE.rtn", kRoutine);
  const std::string install_file = server.write_file("ulvinst.rtn", kInstallRoutine);
  EXPECT_STREQ(api.Call(host.c_str(), port.c_str(), "%SYS", "$ZV"), "Ulvane stand-in server 1.0");
  EXPECT_EQ(api.LoadRtn(routine_file.c_str(), host.c_str(), port.c_str(), "ULV", "ULVSMOKE"), 1);
  EXPECT_EQ(api.LoadFile(host.c_str(), port.c_str(), install_file.c_str()), 1);
  const std::string check = load_check("ULVSMOKE");
  EXPECT_STREQ(api.Call(host.c_str(), port.c_str(), "ULV", check.c_str()), "ULV:1");
  EXPECT_EQ(api.Sleep(50), 0);

  EXPECT_EQ(server.routine("ULV", "ULVSMOKE"), kRoutine);
  EXPECT_EQ(server.routine("%SYS", "QUMAINST"), kInstallRoutine);
  // Every line the server received, in its namespace, in the order sent.
  const std::string journal[] = {
      "%SYS\tS P1=$ZV",                                // Call
      "ULV\t" + load_line(routine_file, "ULVSMOKE"),   // LoadRtn
      "%SYS\tZN \"%SYS\"",                             // LoadFile: the install routine's namespace,
      "%SYS\t" + load_line(install_file, "QUMAINST"),  // then its load
      "ULV\tS P1=" + check,                            // Call
  };
  std::string expected;
  for (const std::string& line : journal) expected.append(line).append("\n");
  EXPECT_EQ(server.journal(), expected);
}

// The trace in this build too, through a failure thrown and caught inside the DLL.
TEST(Smoke, TracesEachCallWhenAsked) {
  const UlvaneApi& api = library();
  ScratchConfigurations registry;
  ScratchDirectory traces;
  const std::string path = traces.file("calls.trace");
  {
    ScopedEnvironment trace(ULVANE_TRACE_VARIABLE, path.c_str());
    EXPECT_EQ(api.GetCachePort("NONE"), -1);
    EXPECT_STREQ(api.GetLastFailure(), "No configuration named 'NONE' is recorded");
    EXPECT_STREQ(api.GetCacheDir(nullptr), "");
    EXPECT_EQ(api.Sleep(0), 0);
    EXPECT_STREQ(api.GetLastFailure(), "");
  }
  const Trace trace = read_trace(path);
  EXPECT_EQ(trace.header, kTraceHeader);
  EXPECT_EQ(trace.comments, std::vector<std::string>{});
  for (const TraceLine& line : trace.calls) EXPECT_EQ(malformed(line), "") << line.text;
  EXPECT_EQ(calls_of(trace),
            "GetCachePort\t\"NONE\"\t-1\t\"No configuration named 'NONE' is recorded\"\n"
            "GetCacheDir\tnull\t\"\"\t\"No configuration was named\"\n"
            "Sleep\t0\t0\t\n");
}

// Last, since a module built with the toolchain that loads after a shared unwinder
// hands it its tables (the stand-in control would): a host that loaded the toolchain's
// shared unwinder before or after the DLL (in one more process), with the control
// unregistered again.
TEST(Smoke, AnswersEachFailureBesideAHostsSharedUnwinder) {
  expect_failures_answered_beside_shared_unwinders();
}

int main(int argc, char** argv) {
  return run_child_or_tests(argc, argv, {shared_unwinder_child()});
}
