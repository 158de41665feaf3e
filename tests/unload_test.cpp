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
#include <vector>

#include "support/com_checks.h"
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
    auto number = [](int value) { return std::to_string(value); };
    checks_ = {
        {"GetCacheConfig()", [](const UlvaneApi& api) { return std::string(api.GetCacheConfig()); },
         "UNLOAD"},
        {"GetCacheDir(UNLOAD)", [](const UlvaneApi& api) { return std::string(api.GetCacheDir("UNLOAD")); },
         files_->path()},
        {"GetCacheCpf(UNLOAD)", [](const UlvaneApi& api) { return std::string(api.GetCacheCpf("UNLOAD")); },
         cpf_},
        {"GetCacheCpf(missing)", [](const UlvaneApi& api) { return std::string(api.GetCacheCpf("missing")); },
         ""},
        {"GetCachePort(UNLOAD)", [=](const UlvaneApi& api) { return number(api.GetCachePort("UNLOAD")); },
         "1972"},
        {"GetCachePort(missing)", [=](const UlvaneApi& api) { return number(api.GetCachePort("missing")); },
         "-1"},
        {"UpdateCpf(" + cpf_ + ")", [=](const UlvaneApi& api) { return number(api.UpdateCpf(cpf_.c_str())); },
         "1"},
        {"UpdateCpf(" + broken_cpf_ + ")",
         [=](const UlvaneApi& api) { return number(api.UpdateCpf(broken_cpf_.c_str())); }, "0"},
        {"LoadFile(no server)",
         [=](const UlvaneApi& api) { return number(api.LoadFile("127.0.0.1", "1", "C:\\none.rtn")); }, "0"},
        {"LoadRtn(no server)",
         [=](const UlvaneApi& api) {
           return number(api.LoadRtn("C:\\none.rtn", "127.0.0.1", "1", "USER", "NONE"));
         },
         "0"},
        {"Call(no control)",
         [](const UlvaneApi& api) { return std::string(api.Call("127.0.0.1", "1", "USER", "1")); },
         code_text(REGDB_E_CLASSNOTREG)},
        {"Sleep(0)", [=](const UlvaneApi& api) { return number(api.Sleep(0)); }, "0"},
    };
  }
  static void TearDownTestSuite() {
    delete files_;
    delete registry_;
  }

  // Every export, on its succeeding and its failing path, each call a GoogleTest
  // expectation that names it.
  static void expect_every_export(const UlvaneApi& api) {
    for (const ExportCheck& check : checks_) EXPECT_EQ(check.result(api), check.expected) << check.call;
  }

  // The same calls, cheaply, for the timed rounds: the first wrong result, or "".
  // Every call is made whatever an earlier one returned, so each round does the same.
  static std::string first_wrong_export(const UlvaneApi& api) {
    std::string wrong;
    for (const ExportCheck& check : checks_) {
      const std::string result = check.result(api);
      if (result != check.expected && wrong.empty())
        wrong = check.call + " returned " + result + ", expected " + check.expected;
    }
    return wrong;
  }

  // One export call of a round, its result as text and the result it must give.
  struct ExportCheck {
    std::string call;
    std::function<std::string(const UlvaneApi&)> result;
    std::string expected;
  };

  static ScratchConfigurations* registry_;
  static ScratchDirectory* files_;
  static std::string cpf_;
  static std::string broken_cpf_;
  static std::vector<ExportCheck> checks_;
};

std::vector<Unload::ExportCheck> Unload::checks_;
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
    std::thread([&] { expect_every_export(api); }).join();
    Event called;
    Event unloaded;
    std::thread outliving([&] {
      expect_every_export(api);
      called.set();
      unloaded.wait();
    });
    called.wait();
    expect_every_export(api);

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
      EXPECT_EQ(lines.calls.size(), 3 * checks_.size()) << calls_of(lines);
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
// Returns what went wrong, or "".
std::string baseline_round(const std::string& path) {
  HMODULE dll = LoadLibraryA(path.c_str());
  if (!dll) return "LoadLibraryA(" + path + ") failed";
  using One = int(__stdcall*)(int);
  auto one = reinterpret_cast<One>(reinterpret_cast<void*>(GetProcAddress(dll, "One")));
  std::string wrong = one && one(7) == 7 ? "" : "One(7) did not return 7";
  for (int server_export = 0; server_export < 3; ++server_export) {
    CoInitialize(nullptr);
    IOleObject* control = nullptr;
    if (SUCCEEDED(CoCreateInstance(kControlClass, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                   IID_IOleObject, reinterpret_cast<void**>(&control))))
      wrong = "the control was created";
    CoUninitialize();
  }
  if (!FreeLibrary(dll)) return "FreeLibrary failed";
  return wrong;
}

// The first round of a run makes each call an expectation of its own; the others
// tell only the first wrong result.
std::string ulvane_round(const std::string& path, bool first) {
  HMODULE dll = LoadLibraryA(path.c_str());
  UlvaneApi api{};
  if (!dll) return "LoadLibraryA(" + path + ") failed";
  if (ulvane_resolve(dll, &api) != ULVANE_EXPORT_COUNT) {
    FreeLibrary(dll);
    return "some export is missing";
  }
  std::string wrong;
  if (first)
    Unload::expect_every_export(api);
  else
    wrong = Unload::first_wrong_export(api);
  if (!FreeLibrary(dll)) return "FreeLibrary failed";
  return wrong;
}

struct Growth {
  long handles;
  long long memory;
  long tls_slots;
  long threads;
};

// round(first) makes one round and returns what was wrong in it, or "".
Growth measure_rounds(const std::string& label, const std::function<std::string(bool first)>& round) {
  int made = 0;
  std::string first_wrong;
  MeasuredCalls run = measure_calls(label, "rounds", kWarmUpRounds, kRounds, [&](int) {
    const std::string wrong = round(made++ == 0);
    if (first_wrong.empty()) first_wrong = wrong;
    return wrong.empty();
  });
  EXPECT_EQ(first_wrong, "") << label << ": the first wrong round";
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
  Growth platform = measure_rounds("one-function DLL and the same COM calls", [](bool) {
    return baseline_round(beside_this_program("one-function.dll"));
  });
  Growth ulvane = measure_rounds("Ulvane.dll, every export", [](bool first) {
    return ulvane_round(beside_this_program("Ulvane.dll"), first);
  });
  ScratchDirectory trace_folder;
  ScopedEnvironment tracing(kTraceVariable, trace_folder.file("trace.log").c_str());
  Growth traced = measure_rounds("Ulvane.dll, every export, traced", [](bool first) {
    return ulvane_round(beside_this_program("Ulvane.dll"), first);
  });
  for (const Growth& growth : {ulvane, traced}) {
    EXPECT_EQ(growth.tls_slots, 0);
    EXPECT_EQ(growth.threads, 0);
    EXPECT_LE(growth.memory, platform.memory + kMemoryTolerance);
    EXPECT_LE(growth.handles, platform.handles + kHandleTolerance);
  }
}
