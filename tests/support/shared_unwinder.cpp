#include "support/shared_unwinder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

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
// Set for the run of this program that tries the second copy.
constexpr const char* kModelVariable = "ULVANE_TEST_SHARED_UNWINDER";

void expect_failures_answered(const UlvaneApi& api) {
  EXPECT_EQ(api.GetCachePort("NONE"), -1);
  // The control is not registered in this prefix (in this architecture's view).
  EXPECT_EQ(api.Call("127.0.0.1", "1", "USER", "$ZV"), code_text(REGDB_E_CLASSNOTREG));
  ScratchDirectory files;
  EXPECT_EQ(api.UpdateCpf(files.file("missing folder\\cache.cpf").c_str()), 0);
}

void expect_failures_answered_beside(const std::string& model) {
  const std::string copy = beside_this_program("shared-unwinders\\" + model + "\\" + kSharedUnwinder);
  const std::string dll = library_path();
  ASSERT_EQ(GetModuleHandleA(kSharedUnwinder), nullptr) << "a " << kSharedUnwinder << " is loaded already";
  ASSERT_EQ(GetModuleHandleA(dll.c_str()), nullptr) << dll << " is loaded already";
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
    EXPECT_EQ(ulvane_resolve(module, &api), 9);
    if (api.UpdateCpf) expect_failures_answered(api);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA(dll.c_str()), nullptr) << "Ulvane.dll stayed loaded";
  }
}

}  // namespace

void expect_failures_answered_beside_shared_unwinders() {
  if (const char* model = std::getenv(kModelVariable)) {
    expect_failures_answered_beside(model);
    return;
  }
  expect_failures_answered_beside("win32");

  char program[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  const ::testing::TestInfo& test = *::testing::UnitTest::GetInstance()->current_test_info();
  ScopedEnvironment second(kModelVariable, "posix");
  const ProcessResult run = run_process(
      quoted(program) + " --gtest_color=no --gtest_filter=" + test.test_suite_name() + "." + test.name());
  EXPECT_EQ(run.exit_code, 0u) << "the posix copy, in a run of its own:\n" << run.out << run.err;
}

}  // namespace ulvane::test
