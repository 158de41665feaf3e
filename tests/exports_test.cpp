// The DLL as a file and as a loaded module: export table, version, imports, and
// the call frame every export shares.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/library.h"
#include "support/scratch_registry.h"
#include "support/text.h"

using namespace ulvane::test;

namespace {

struct ExportRow {
  const char* name;
  WORD ordinal;
};

const ExportRow kExports[] = {
    {"UpdateCpf", 1},
    {"GetCachePort", 2},
    {"GetCacheCpf", 3},
    {"GetCacheDir", 4},
    {"LoadRtn", 5},
    {"Sleep", 6},
    {"GetCacheConfig", 7},
    {"Call", 8},
    {"LoadFile", 9},
    {"GetLastFailure", 10},
};

// The headers as this program's architecture has them: the DLL it loaded is of the same.
const IMAGE_NT_HEADERS* nt_headers(HMODULE module) {
  auto base = reinterpret_cast<const BYTE*>(module);
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

#ifdef _WIN64
constexpr WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr WORD kOptionalHeaderMagic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
#else
constexpr WORD kMachine = IMAGE_FILE_MACHINE_I386;
constexpr WORD kOptionalHeaderMagic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
#endif

template <class T>
const T* at_rva(HMODULE module, DWORD rva) {
  return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string version_string(const std::vector<char>& block, const std::string& field) {
  char* value = nullptr;
  UINT length = 0;
  std::string query = "\\StringFileInfo\\040904E4\\" + field;
  if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) return "<none>";
  return std::string(value);
}

}  // namespace

TEST(ExportTable, EveryExportResolvesByNameAndOrdinalToTheSameFunction) {
  for (const ExportRow& row : kExports) {
    FARPROC by_name = GetProcAddress(library_module(), row.name);
    FARPROC by_ordinal = GetProcAddress(library_module(), MAKEINTRESOURCEA(row.ordinal));
    EXPECT_NE(by_name, nullptr) << row.name;
    EXPECT_EQ(by_name, by_ordinal) << row.name << " @" << row.ordinal;
  }
}

TEST(ExportTable, NamesTheDllAndExportsNothingElseUndecorated) {
  const IMAGE_NT_HEADERS* nt = nt_headers(library_module());
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  auto directory = at_rva<IMAGE_EXPORT_DIRECTORY>(library_module(), entry.VirtualAddress);
  EXPECT_STREQ(at_rva<char>(library_module(), directory->Name), "Ulvane.dll");

  std::set<std::string> names;
  auto name_rvas = at_rva<DWORD>(library_module(), directory->AddressOfNames);
  for (DWORD i = 0; i < directory->NumberOfNames; ++i)
    names.insert(at_rva<char>(library_module(), name_rvas[i]));
  std::set<std::string> expected;
  for (const ExportRow& row : kExports) expected.insert(row.name);
  EXPECT_EQ(names, expected);
}

TEST(ExportTable, IsADllOfTheHostsArchitecture) {
  const IMAGE_NT_HEADERS* nt = nt_headers(library_module());
  EXPECT_EQ(nt->FileHeader.Machine, kMachine);
  EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
  EXPECT_EQ(nt->OptionalHeader.Magic, kOptionalHeaderMagic);
}

// An installer extracts the DLL alone into a temporary folder: it may need no runtime DLL.
TEST(ExportTable, ImportsOnlyWindowsSystemDlls) {
  const std::set<std::string> system = {"kernel32.dll", "advapi32.dll", "ole32.dll",
                                        "oleaut32.dll", "user32.dll",   "msvcrt.dll"};
  const IMAGE_NT_HEADERS* nt = nt_headers(library_module());
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(entry.VirtualAddress, 0u);
  int count = 0;
  for (auto import = at_rva<IMAGE_IMPORT_DESCRIPTOR>(library_module(), entry.VirtualAddress); import->Name;
       ++import, ++count) {
    std::string name = lower(at_rva<char>(library_module(), import->Name));
    EXPECT_TRUE(system.count(name) || name.rfind("api-ms-win-", 0) == 0) << "imports " << name;
  }
  EXPECT_GT(count, 0);
}

// The header's version, which hosts and the tools show, is the resource's, which
// Windows shows: its four numbers in the fixed part and in FileVersion, the first
// alone in ProductVersion.
TEST(VersionResource, CarriesTheHeadersVersion) {
  unsigned number[4];
  char after = 0;
  ASSERT_EQ(
      std::sscanf(ULVANE_VERSION, "%u.%u.%u.%u%c", &number[0], &number[1], &number[2], &number[3], &after), 4)
      << "ULVANE_VERSION is not a.b.c.d: " << ULVANE_VERSION;
  const DWORD high = MAKELONG(number[1], number[0]);
  const DWORD low = MAKELONG(number[3], number[2]);

  std::string path = library_path();
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
  EXPECT_EQ(fixed->dwFileType, DWORD(VFT_DLL));
  EXPECT_EQ(fixed->dwFileOS, DWORD(VOS__WINDOWS32));

  EXPECT_EQ(version_string(block, "FileVersion"), ULVANE_VERSION);
  EXPECT_EQ(version_string(block, "ProductVersion"), std::to_string(number[0]));
  EXPECT_EQ(version_string(block, "InternalName"), "Ulvane.dll");
  EXPECT_EQ(version_string(block, "OriginalFilename"), "Ulvane.dll");
}

TEST(CallFrame, NullTextArgumentsAreTheEmptyText) {
  ScratchConfigurations registry;
  // A configuration with the empty name cannot exist, so both give the empty text.
  for (auto lookup : {library().GetCacheDir, library().GetCacheCpf}) {
    const char* from_null = lookup(nullptr);
    ASSERT_NE(from_null, nullptr);
    EXPECT_STREQ(from_null, "");
    EXPECT_STREQ(lookup(""), "");
  }
  EXPECT_EQ(library().GetCachePort(nullptr), library().GetCachePort(""));
  // No file is named: nothing is written anywhere (whole_file_test checks where).
  EXPECT_EQ(library().UpdateCpf(nullptr), 0);
  EXPECT_EQ(library().UpdateCpf(""), 0);
}

TEST(CallFrame, SleepReturnsZeroAndWaits) {
  EXPECT_EQ(library().Sleep(0), 0);
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  EXPECT_EQ(library().Sleep(150), 0);
  QueryPerformanceCounter(&end);
  EXPECT_GE((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, 149);
}

TEST(CallFrame, ResultTextLastsUntilTheSameExportIsCalledAgain) {
  ScratchConfigurations registry;
  registry.set_text("A", "Directory", "C:\\A");
  registry.set_text("A", "Properties", "C:\\A\\cache.cpf");
  registry.set_text("B", "Directory", "C:\\B");

  const char* dir_a = library().GetCacheDir("A");
  const char* cpf_a = library().GetCacheCpf("A");
  const char* names = library().GetCacheConfig();
  EXPECT_STREQ(dir_a, "C:\\A");  // other exports do not disturb it
  EXPECT_STREQ(cpf_a, "C:\\A\\cache.cpf");
  EXPECT_STREQ(names, "A\r\nB");

  EXPECT_STREQ(library().GetCacheDir("B"), "C:\\B");
  EXPECT_STREQ(library().GetCacheDir("missing"), "");  // nothing from the last call shows through
}

// The reason GetLastFailure gives is the thread's last call's: it outlives asking for
// it, goes with the next call of any export (Sleep included), and is the thread's own.
// Every failure's own text is checked with the trace, which records the same.
TEST(CallFrame, LastFailureIsTheThreadsLastCalls) {
  ScratchConfigurations registry;
  registry.set_text("A", "Directory", "C:\\A");
  const UlvaneApi& api = library();
  const char* kNope = "No configuration named 'NOPE' is recorded";

  EXPECT_STREQ(api.GetCacheDir("NOPE"), "");
  const char* reason = api.GetLastFailure();
  EXPECT_STREQ(reason, kNope);
  EXPECT_STREQ(api.GetLastFailure(), kNope) << "asking again changes nothing";
  EXPECT_STREQ(reason, kNope) << "the text lasts until the next call";

  std::string seen_by_other;
  std::thread([&] {
    seen_by_other = api.GetLastFailure();
    api.GetCachePort("OTHER");
  }).join();
  EXPECT_EQ(seen_by_other, "");
  EXPECT_STREQ(api.GetLastFailure(), kNope) << "another thread's failure showed through";

  EXPECT_STREQ(api.GetCacheDir("A"), "C:\\A");
  EXPECT_STREQ(api.GetLastFailure(), "") << "a call that succeeds leaves no reason";
  EXPECT_EQ(api.UpdateCpf(nullptr), 0);
  EXPECT_STREQ(api.GetLastFailure(), "No configuration file was named");
  EXPECT_EQ(api.Sleep(0), 0);
  EXPECT_STREQ(api.GetLastFailure(), "") << "Sleep is a call too";

  // Neither the bookkeeping nor the question touches the thread's last error.
  api.GetCacheDir("NOPE");
  SetLastError(1234);
  api.GetLastFailure();
  EXPECT_EQ(GetLastError(), 1234u);
  api.Sleep(0);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(CallFrame, EachThreadKeepsItsOwnResultText) {
  ScratchConfigurations registry;
  const int kThreads = 8;
  for (int i = 0; i < kThreads; ++i) registry.set_text(numbered("C", i), "Directory", numbered("D:\\", i));

  std::vector<std::string> seen(kThreads);
  std::vector<std::thread> threads;
  HANDLE all_called = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  LONG called = 0;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const char* mine = library().GetCacheDir(numbered("C", i).c_str());
      if (InterlockedIncrement(&called) == kThreads) SetEvent(all_called);
      WaitForSingleObject(all_called, INFINITE);  // every other thread has called it meanwhile
      seen[i] = mine;
    });
  }
  for (auto& t : threads) t.join();
  CloseHandle(all_called);
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(seen[i], numbered("D:\\", i));
}
