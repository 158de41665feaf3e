// GetCacheConfig, GetCacheDir and GetCacheCpf against the test prefix's registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/import_hook.h"
#include "support/library.h"
#include "support/scratch_registry.h"

using namespace ulvane::test;

namespace {

class ConfigurationRegistry : public ::testing::Test {
protected:
  ScratchConfigurations registry;
};

}  // namespace

TEST_F(ConfigurationRegistry, ListWithoutTheKeyIsEmptyNotNull) {
  const char* names = library().GetCacheConfig();
  ASSERT_NE(names, nullptr);
  EXPECT_STREQ(names, "");
}

TEST_F(ConfigurationRegistry, ListWithoutConfigurationsIsEmpty) {
  registry.create_root();
  EXPECT_STREQ(library().GetCacheConfig(), "");
}

TEST_F(ConfigurationRegistry, ListsASingleNameAlone) {
  registry.add("CACHE");
  EXPECT_STREQ(library().GetCacheConfig(), "CACHE");
}

TEST_F(ConfigurationRegistry, ListsNamesInRegistryOrderSeparatedByCrLf) {
  registry.add("A");
  registry.add("B");
  registry.add("C");
  EXPECT_STREQ(library().GetCacheConfig(), "A\r\nB\r\nC");
}

TEST_F(ConfigurationRegistry, NamesAreReturnedVerbatim) {
  registry.add("Cach\xe9 2018 (x)");
  registry.add("with space ");
  registry.set_text("Cach\xe9 2018 (x)", "Directory", "C:\\Cach\xe9");
  EXPECT_STREQ(library().GetCacheConfig(), "Cach\xe9 2018 (x)\r\nwith space ");
  EXPECT_STREQ(library().GetCacheDir("Cach\xe9 2018 (x)"), "C:\\Cach\xe9");
}

TEST_F(ConfigurationRegistry, ReadsDirectoryAndConfigurationFile) {
  registry.set_text("CACHE", "Directory", "C:\\InterSystems\\Cache\\");
  registry.set_text("CACHE", "Properties", "C:\\InterSystems\\Cache\\cache.cpf");
  EXPECT_STREQ(library().GetCacheDir("CACHE"), "C:\\InterSystems\\Cache\\");
  EXPECT_STREQ(library().GetCacheCpf("CACHE"), "C:\\InterSystems\\Cache\\cache.cpf");
}

TEST_F(ConfigurationRegistry, MissingPiecesGiveTheEmptyText) {
  registry.add("NoSubkeys");
  registry.add_subkey("NoValue", "Directory");
  registry.add_subkey("NoValue", "Properties");
  for (const char* name : {"Unknown", "NoSubkeys", "NoValue", ""}) {
    EXPECT_STREQ(library().GetCacheDir(name), "") << name;
    EXPECT_STREQ(library().GetCacheCpf(name), "") << name;
  }
}

// The default value as each registry type stores it: only strings are text, and a
// failure to read one never leaves the export.
TEST_F(ConfigurationRegistry, DefaultValueOfEachType) {
  struct Row {
    const char* label;
    DWORD type;
    std::string data;
    const char* expected;
  };
  const DWORD number = 1972;
  const Row rows[] = {
      {"string", REG_SZ, std::string("C:\\dir\0", 7), "C:\\dir"},
      {"expandable string stays unexpanded", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15),
       "%SystemRoot%\\x"},
      {"string without its NUL", REG_SZ, "C:\\open", "C:\\open"},
      {"string with an inner NUL", REG_SZ, std::string("C:\\a\0tail\0", 10), "C:\\a"},
      {"empty string", REG_SZ, std::string("\0", 1), ""},
      {"zero-length string", REG_SZ, "", ""},
      {"dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4), ""},
      {"zero-length dword", REG_DWORD, "", ""},
      {"binary", REG_BINARY, "C:\\bin", ""},
      {"multi string", REG_MULTI_SZ, std::string("C:\\m\0\0", 6), ""},
      {"qword", REG_QWORD, std::string(8, '\1'), ""},
      {"none", REG_NONE, "x", ""},
  };
  for (const Row& row : rows) {
    registry.set_default("T", "Directory", row.type, row.data.data(), static_cast<DWORD>(row.data.size()));
    registry.set_default("T", "Properties", row.type, row.data.data(), static_cast<DWORD>(row.data.size()));
    EXPECT_STREQ(library().GetCacheDir("T"), row.expected) << row.label;
    EXPECT_STREQ(library().GetCacheCpf("T"), row.expected) << row.label;
  }
}

// A 64-bit server records its configurations only in the 64-bit view, which a
// 32-bit process does not see by default.
TEST_F(ConfigurationRegistry, FindsConfigurationsOnlyInThe64BitView) {
  registry.set_text("CACHE64", "Directory", "C:\\Program Files\\Cache\\", View::Wide64);
  registry.set_text("CACHE64", "Properties", "C:\\Program Files\\Cache\\cache.cpf", View::Wide64);
  EXPECT_STREQ(library().GetCacheConfig(), "CACHE64");
  EXPECT_STREQ(library().GetCacheDir("CACHE64"), "C:\\Program Files\\Cache\\");
  EXPECT_STREQ(library().GetCacheCpf("CACHE64"), "C:\\Program Files\\Cache\\cache.cpf");
}

TEST_F(ConfigurationRegistry, TheDefaultViewWinsWhereItHasTheKey) {
  registry.add("Only32");
  registry.add_subkey("Both", "Directory");  // present without a value in the default view
  registry.set_text("Both", "Directory", "C:\\64", View::Wide64);
  registry.set_text("Both", "Properties", "C:\\64\\cache.cpf", View::Wide64);
  registry.add("Only64", View::Wide64);

  EXPECT_STREQ(library().GetCacheConfig(), "Both\r\nOnly32");
  EXPECT_STREQ(library().GetCacheDir("Both"), "");
  EXPECT_STREQ(library().GetCacheCpf("Both"), "C:\\64\\cache.cpf");  // no Properties key in the default view
}

namespace {

// A Directory value that someone makes longer just before each of the library's
// reads of it (not before its size queries), growths times.
namespace growing {

ScratchConfigurations* registry = nullptr;
int growths_left = 0;
int grown = 0;
const ImportHook* hook = nullptr;

std::string text(int growths) {
  return "C:\\Grown" + std::string(growths * 40, 'x');
}

LONG WINAPI query(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (data && growths_left > 0) {
    --growths_left;
    registry->set_text("CACHE", "Directory", text(++grown));
  }
  return hook->original<decltype(&RegQueryValueExA)>()(key, name, reserved, type, data, size);
}

}  // namespace growing

}  // namespace

TEST_F(ConfigurationRegistry, AValueThatGrowsBetweenSizeAndReadIsReadAgain) {
  ImportHook hook(library_module(), "advapi32.dll", "RegQueryValueExA",
                  reinterpret_cast<void*>(&growing::query));
  growing::hook = &hook;
  growing::registry = &registry;
  struct Row {
    int growths;
    std::string directory;
  };
  const Row rows[] = {
      {1, growing::text(1)},
      {2, growing::text(2)},
      // It keeps growing: after a few reads the value counts as unreadable.
      {1000, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("grows " + std::to_string(row.growths) + " times");
    registry.set_text("CACHE", "Directory", "C:\\Cache\\");
    growing::growths_left = row.growths;
    growing::grown = 0;
    EXPECT_EQ(std::string(library().GetCacheDir("CACHE")), row.directory);
    EXPECT_GE(growing::grown, 1);
  }
  growing::growths_left = 0;
}
