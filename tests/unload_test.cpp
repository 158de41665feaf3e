// A host that loads Ulvane.dll, calls it and unloads it, as installers do: the module
// goes at once, its file can be deleted, threads that called it end cleanly after the
// unload, and thousands of rounds leave nothing behind. Runs in a prefix where the
// control is not registered, so the server exports take their failing path without
// loading a control of their own. Prints its figures on lines starting "figures:".
#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>
#include <ole2.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "support/library.h"
#include "support/measured_calls.h"
#include "support/process_usage.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/process.h"
#include "support/trace_lines.h"

using namespace ulvane::test;

namespace {

constexpr int kRounds = 3000;
constexpr int kWarmUpRounds = 50;
// What may come and go between two measurements without anything leaking.
constexpr long long kMemoryTolerance = 256 * 1024;
constexpr long kHandleTolerance = 16;
constexpr const char* kTraceVariable = "ULVANE_TRACE";
// The export calls of call_every_export.
constexpr int kExportCalls = 12;
const CLSID kControlClass = {0x88F75483, 0x0574, 0x11D0, {0x80, 0x85, 0x00, 0x00, 0xC0, 0xBD, 0x35, 0x4B}};

class Unload : public ::testing::Test {
public:
  static void SetUpTestSuite() {
    // Installers import the COM libraries themselves, so they stay loaded while the DLL
    // comes and goes; unloading them with it each round would measure them, not us.
    LoadLibraryA("ole32.dll");
    LoadLibraryA("oleaut32.dll");
    registry_ = new ScratchConfigurations;
    files_ = new ScratchDirectory;
    cpf_ = files_->write("unload.cpf", crlf_lines({"[Startup]", "DefaultPort=1972", "[Namespaces]",
                                                   "Nsp_1=%SYS,CACHESYS", "[CSP.Applications]"}));
    // A key number that does not parse: UpdateCpf fails by throwing, inside the DLL.
    broken_cpf_ = files_->write("broken.cpf", crlf_lines({"[Namespaces]", "Nsp_x=USER"}));
    registry_->set_text("UNLOAD", "Directory", files_->path());
    registry_->set_text("UNLOAD", "Properties", cpf_);
  }
  static void TearDownTestSuite() {
    delete files_;
    delete registry_;
  }

  // Every export, on its succeeding and its failing path; false when a result is wrong.
  static bool call_every_export(const UlvaneApi& api) {
    bool right = std::string(api.GetCacheConfig()) == "UNLOAD";
    right &= std::string(api.GetCacheDir("UNLOAD")) == files_->path();
    right &= std::string(api.GetCacheCpf("UNLOAD")) == cpf_;
    right &= std::string(api.GetCacheCpf("missing")).empty();
    right &= api.GetCachePort("UNLOAD") == 1972;
    right &= api.GetCachePort("missing") == -1;
    right &= api.UpdateCpf(cpf_.c_str()) == 1;
    right &= api.UpdateCpf(broken_cpf_.c_str()) == 0;
    right &= api.LoadFile("127.0.0.1", "1", "C:\\none.rtn") == 0;
    right &= api.LoadRtn("C:\\none.rtn", "127.0.0.1", "1", "USER", "NONE") == 0;
    right &= std::string(api.Call("127.0.0.1", "1", "USER", "1")) != "1";
    right &= api.Sleep(0) == 0;
    return right;
  }

  static ScratchConfigurations* registry_;
  static ScratchDirectory* files_;
  static std::string cpf_;
  static std::string broken_cpf_;
};

ScratchConfigurations* Unload::registry_ = nullptr;
ScratchDirectory* Unload::files_ = nullptr;
std::string Unload::cpf_;
std::string Unload::broken_cpf_;

class Event {
public:
  Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() { CloseHandle(handle_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void set() { SetEvent(handle_); }
  void wait() { WaitForSingleObject(handle_, INFINITE); }

private:
  HANDLE handle_;
};

}  // namespace

TEST_F(Unload, ModuleGoesAtOnceAndItsFileCanBeDeletedWhileItsCallersLiveOn) {
  ScratchDirectory host;
  // The last round traces its calls: the trace must hold nothing of the module either.
  constexpr int kRoundsHere = 4;
  for (int round = 0; round < kRoundsHere; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool traced = round == kRoundsHere - 1;
    const std::string trace = host.file("trace.log");
    ScopedEnvironment tracing(kTraceVariable, traced ? trace.c_str() : nullptr);
    const std::string copy = host.file("Ulvane.dll");
    ASSERT_TRUE(CopyFileA(beside_this_program("Ulvane.dll").c_str(), copy.c_str(), FALSE));
    HMODULE dll = LoadLibraryA(copy.c_str());
    ASSERT_NE(dll, nullptr);
    UlvaneApi api{};
    ASSERT_EQ(ulvane_resolve(dll, &api), ULVANE_EXPORT_COUNT);

    // One thread calls and ends before the unload, one calls and outlives it, and
    // this thread calls too: their result texts must not hold the module.
    std::thread([&] { EXPECT_TRUE(call_every_export(api)); }).join();
    Event called;
    Event unloaded;
    std::thread outliving([&] {
      EXPECT_TRUE(call_every_export(api));
      called.set();
      unloaded.wait();
    });
    called.wait();
    EXPECT_TRUE(call_every_export(api));

    ASSERT_TRUE(FreeLibrary(dll));
    EXPECT_EQ(GetModuleHandleA(copy.c_str()), nullptr) << "the module is still loaded";
    EXPECT_TRUE(DeleteFileA(copy.c_str())) << "error " << GetLastError();
    unloaded.set();
    outliving.join();
    if (traced) {
      // Three threads' calls, each a line; nothing at load or unload.
      const Trace lines = read_trace(trace);
      EXPECT_EQ(lines.header, kTraceHeader);
      EXPECT_EQ(lines.comments, std::vector<std::string>{});
      EXPECT_EQ(lines.calls.size(), 3u * kExportCalls) << calls_of(lines);
    }
  }
}

TEST_F(Unload, TracingWritesNothingAtLoadOrUnload) {
  ScratchDirectory host;
  const std::string trace = host.file("trace.log");
  ScopedEnvironment tracing(kTraceVariable, trace.c_str());
  for (int round = 0; round < 3; ++round) {
    HMODULE dll = LoadLibraryA(beside_this_program("Ulvane.dll").c_str());
    ASSERT_NE(dll, nullptr);
    ASSERT_TRUE(FreeLibrary(dll));
  }
  EXPECT_EQ(GetFileAttributesA(trace.c_str()), INVALID_FILE_ATTRIBUTES);
}

namespace {

// One round of the platform's own share of a round: a one-function DLL built with the
// same toolchain loaded, called and unloaded, and the COM calls that the three server
// exports make on their failing path. What the platform keeps for these is its own.
bool baseline_round(const std::string& path) {
  HMODULE dll = LoadLibraryA(path.c_str());
  if (!dll) return false;
  using One = int(__stdcall*)(int);
  auto one = reinterpret_cast<One>(reinterpret_cast<void*>(GetProcAddress(dll, "One")));
  bool right = one && one(7) == 7;
  for (int server_export = 0; server_export < 3; ++server_export) {
    CoInitialize(nullptr);
    IOleObject* control = nullptr;
    right &= FAILED(CoCreateInstance(kControlClass, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                     IID_IOleObject, reinterpret_cast<void**>(&control)));
    CoUninitialize();
  }
  return FreeLibrary(dll) && right;
}

bool ulvane_round(const std::string& path) {
  HMODULE dll = LoadLibraryA(path.c_str());
  UlvaneApi api{};
  if (!dll || ulvane_resolve(dll, &api) != ULVANE_EXPORT_COUNT) return false;
  bool right = Unload::call_every_export(api);
  return FreeLibrary(dll) && right;
}

struct Growth {
  long handles;
  long long memory;
  long tls_slots;
  long threads;
};

Growth measure_rounds(const std::string& label, const std::function<bool()>& round) {
  MeasuredCalls run = measure_calls(label, "rounds", kWarmUpRounds, kRounds, [&](int) { return round(); });
  Growth growth{run.after.handle_slots - run.before.handle_slots,
                run.after.private_bytes - run.before.private_bytes,
                run.before.free_tls_slots - run.after.free_tls_slots, run.after.threads - run.before.threads};
  std::printf(
      "figures: %s: per round: handles %.3f, private memory %.1f bytes, thread-local slots %.3f, "
      "%.2f ms\n",
      label.c_str(), double(growth.handles) / kRounds, double(growth.memory) / kRounds,
      double(growth.tls_slots) / kRounds, 1000.0 * run.seconds / kRounds);
  return growth;
}

}  // namespace

TEST_F(Unload, ThreeThousandRoundsLeaveNothingBeyondThePlatformsOwnShare) {
  Growth platform = measure_rounds("one-function DLL and the same COM calls",
                                   [] { return baseline_round(beside_this_program("one-function.dll")); });
  Growth ulvane = measure_rounds("Ulvane.dll, every export",
                                 [] { return ulvane_round(beside_this_program("Ulvane.dll")); });
  ScratchDirectory trace_folder;
  ScopedEnvironment tracing(kTraceVariable, trace_folder.file("trace.log").c_str());
  Growth traced = measure_rounds("Ulvane.dll, every export, traced",
                                 [] { return ulvane_round(beside_this_program("Ulvane.dll")); });
  for (const Growth& growth : {ulvane, traced}) {
    EXPECT_EQ(growth.tls_slots, 0);
    EXPECT_EQ(growth.threads, 0);
    EXPECT_LE(growth.memory, platform.memory + kMemoryTolerance);
    EXPECT_LE(growth.handles, platform.handles + kHandleTolerance);
  }
}
