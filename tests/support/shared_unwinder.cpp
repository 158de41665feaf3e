#include "support/shared_unwinder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/child_mode.h"
#include "support/com_checks.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"

namespace ulvane::test {
namespace {

#ifdef _WIN64
constexpr const char* kSharedUnwinder = "libgcc_s_seh-1.dll";
#else
constexpr const char* kSharedUnwinder = "libgcc_s_dw2-1.dll";
#endif
// The run of this program that tries the second copy: `program shared-unwinder MODEL`.
constexpr const char* kChildMode = "shared-unwinder";

void expect_failures_answered(const UlvaneApi& api) {
  EXPECT_EQ(api.GetCachePort("NONE"), -1);
  // The control is not registered in this prefix (in this architecture's view).
  EXPECT_EQ(api.Call("127.0.0.1", "1", "USER", "$ZV"), code_text(REGDB_E_CLASSNOTREG));
  ScratchDirectory files;
  EXPECT_EQ(api.UpdateCpf(files.file("missing folder\\cache.cpf").c_str()), 0);
}

void expect_failures_answered_beside(const std::string& model) {
  const std::string copy = beside_this_program("shared-unwinders\\" + model + "\\" + kSharedUnwinder);
  ASSERT_EQ(GetModuleHandleA(kSharedUnwinder), nullptr) << "a " << kSharedUnwinder << " is loaded already";
  // A copy of the DLL, so that each load below starts it afresh even where this process
  // keeps the DLL itself loaded.
  ScratchDirectory host;
  const std::string dll = host.file("Ulvane.dll");
  ASSERT_TRUE(CopyFileA(library_path().c_str(), dll.c_str(), FALSE)) << "error " << GetLastError();
  for (const bool copy_first : {false, true}) {
    SCOPED_TRACE("the " + model + " copy of " + kSharedUnwinder + " loaded " +
                 (copy_first ? "before" : "after") + " Ulvane.dll");
    HMODULE module = LoadLibraryA(dll.c_str());
    // The second time round the copy is loaded already, and stays: it is not freed.
    // Its own folder is searched first for what it imports (the posix copy's thread library).
    HMODULE unwinder = copy_first ? GetModuleHandleA(kSharedUnwinder)
                                  : LoadLibraryExA(copy.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_TRUE(module && unwinder) << dll << " or " << copy << " did not load: error " << GetLastError();
    UlvaneApi api{};
    EXPECT_EQ(ulvane_resolve(module, &api), ULVANE_EXPORT_COUNT);
    if (api.UpdateCpf) expect_failures_answered(api);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA(dll.c_str()), nullptr) << "Ulvane.dll stayed loaded";
  }
}

struct ProgramRun {
  unsigned long exit_code = ~0ul;
  std::string output;
};

struct Handle {
  HANDLE value;
  ~Handle() {
    if (value && value != INVALID_HANDLE_VALUE) CloseHandle(value);
  }
};

// A child of this program, its output and errors in one file, waited for on this
// thread alone: under an emulator a second thread can bring Wine down.
ProgramRun run_child(std::string line) {
  ScratchDirectory folder;
  ProgramRun run;
  {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    Handle output{CreateFileA(folder.file("output.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                              CREATE_ALWAYS, 0, nullptr)};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = output.value;
    PROCESS_INFORMATION started{};
    if (output.value == INVALID_HANDLE_VALUE || !CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                                                                0, nullptr, nullptr, &startup, &started))
      return {~0ul, "did not start: " + line};
    Handle process{started.hProcess};
    Handle thread{started.hThread};
    WaitForSingleObject(process.value, INFINITE);
    GetExitCodeProcess(process.value, &run.exit_code);
  }
  run.output = folder.read("output.txt");
  return run;
}

}  // namespace

void expect_failures_answered_beside_shared_unwinders() {
  expect_failures_answered_beside("win32");
  const ProgramRun run = run_child(child_command(kChildMode, {"posix"}));
  EXPECT_EQ(run.exit_code, 0u) << "the posix copy, in a run of its own:\n" << run.output;
}

ChildMode shared_unwinder_child() {
  return {kChildMode, [](const std::vector<std::string>& arguments) {
            if (arguments.size() != 1) return 2;
            expect_failures_answered_beside(arguments[0]);
            return 0;
          }};
}

}  // namespace ulvane::test
