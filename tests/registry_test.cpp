// GetCacheConfig, GetCacheDir and GetCacheCpf against the test prefix's registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/system_message.h"
#include "support/import_hook.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/trace_lines.h"

using namespace ulvane::test;

namespace {

class ConfigurationRegistry : public ::testing::Test {
protected:
  ScratchConfigurations registry;
};

// A call's answer, and the failure field of the one line it leaves in the trace:
// where the export can only answer the empty text, the trace shows a failure's message.
struct Traced {
  std::string answer;
  std::string failure;
};

Traced traced(const std::function<const char*()>& call) {
  ScratchDirectory traces;
  const std::string path = traces.file("trace.log");
  Traced result;
  {
    const ScopedEnvironment tracing(ULVANE_TRACE_VARIABLE, path.c_str());
    result.answer = call();
  }
  const Trace trace = read_trace(path);
  result.failure = trace.calls.size() == 1 ? trace.calls[0].field(kFailure)
                                           : "<" + std::to_string(trace.calls.size()) + " trace lines>";
  return result;
}

// A value's failure as the trace shows it.
std::string value_failure(const std::string& what, const std::string& subkey, const std::string& name) {
  return trace_text(what + " for the " + subkey + " of configuration '" + name + "'");
}

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
    SCOPED_TRACE(name);
    EXPECT_STREQ(library().GetCacheDir(name), "");
    EXPECT_STREQ(library().GetCacheCpf(name), "");
  }
}

// The default value as each registry type stores it: only strings are text, and a
// failure to read one never leaves the export; its message, in the trace, names the
// configuration and the value.
TEST_F(ConfigurationRegistry, DefaultValueOfEachType) {
  struct Row {
    const char* label;
    DWORD type;
    std::string data;
    const char* expected;
    bool invalid;  // a value that is there and is not text
  };
  const DWORD number = 1972;
  const Row rows[] = {
      {"string", REG_SZ, std::string("C:\\dir\0", 7), "C:\\dir", false},
      {"expandable string stays unexpanded", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15),
       "%SystemRoot%\\x", false},
      {"string without its NUL", REG_SZ, "C:\\open", "C:\\open", false},
      {"string with an inner NUL", REG_SZ, std::string("C:\\a\0tail\0", 10), "C:\\a", false},
      {"empty string", REG_SZ, std::string("\0", 1), "", false},
      {"zero-length string", REG_SZ, "", "", false},
      {"dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4), "", true},
      {"zero-length dword", REG_DWORD, "", "", false},
      {"binary", REG_BINARY, "C:\\bin", "", true},
      {"multi string", REG_MULTI_SZ, std::string("C:\\m\0\0", 6), "", true},
      {"qword", REG_QWORD, std::string(8, '\1'), "", true},
      {"none", REG_NONE, "x", "", true},
  };
  for (const Row& row : rows) {
    registry.set_default("T", "Directory", row.type, row.data.data(), static_cast<DWORD>(row.data.size()));
    registry.set_default("T", "Properties", row.type, row.data.data(), static_cast<DWORD>(row.data.size()));
    SCOPED_TRACE(row.label);
    const auto failure = [&](const char* subkey) {
      return row.invalid ? value_failure("Invalid data type", subkey, "T") : "";
    };
    const Traced dir = traced([] { return library().GetCacheDir("T"); });
    EXPECT_EQ(dir.answer, row.expected);
    EXPECT_EQ(dir.failure, failure("Directory"));
    const Traced cpf = traced([] { return library().GetCacheCpf("T"); });
    EXPECT_EQ(cpf.answer, row.expected);
    EXPECT_EQ(cpf.failure, failure("Properties"));
  }
}

namespace {

// One key of a fixture: the configurations key (no name), a configuration's key
// (no subkey), or a subkey with its text (or none).
struct Key {
  View view;
  std::string name;
  std::string subkey;
  std::optional<std::string> text;
};

struct Answer {
  std::string name;
  std::string dir;
  std::string cpf;
  // What GetLastFailure says after each lookup: why nothing was found, or "".
  std::string dir_why = "";
  std::string cpf_why = "";
};

struct ViewRow {
  const char* label;
  std::vector<Key> keys;
  std::vector<Key> refused;  // made to refuse read access
  std::string list;
  std::vector<Answer> answers;
  std::string list_why = "";
};

const std::string kConfigurations = "HKEY_LOCAL_MACHINE\\Software\\InterSystems\\Cache\\Configurations";

std::string no_key(const std::string& name, const std::string& subkey) {
  return "Configuration '" + name + "' has no " + subkey + " key";
}

std::string refused_key(const std::string& path) {
  return "Unable to read " + kConfigurations + path + ": " + ulvane::system_message(ERROR_ACCESS_DENIED);
}

void make(ScratchConfigurations& registry, const Key& key) {
  if (key.text)
    registry.set_text(key.name, key.subkey, *key.text, key.view);
  else if (!key.subkey.empty())
    registry.add_subkey(key.name, key.subkey, key.view);
  else if (!key.name.empty())
    registry.add(key.name, key.view);
  else
    registry.create_root(key.view);
}

constexpr View k32 = View::Wide32;
constexpr View k64 = View::Wide64;

}  // namespace

// The 32-bit view answers first, for the 32-bit DLL and its 64-bit twin alike; a
// 64-bit server records its configurations only in the 64-bit view. Each answer comes from one view: the
// list from the 32-bit view when it lists a configuration, a configuration's
// directory and file from the view that has the configuration, whatever the
// other view holds; only an absent key sends the lookup to the other view. Where the
// answer is empty, GetLastFailure says why.
TEST(RegistryViews, EachAnswerComesFromOneView) {
  const ViewRow rows[] = {
      {"no configurations key",
       {},
       {},
       "",
       {{"A", "", "", "No configuration named 'A' is recorded", "No configuration named 'A' is recorded"}},
       "No configuration is recorded under " + kConfigurations},
      {"only the 64-bit view",
       {{k64, "CACHE64", "Directory", "C:\\64\\"}, {k64, "CACHE64", "Properties", "C:\\64\\cache.cpf"}},
       {},
       "CACHE64",
       {{"CACHE64", "C:\\64\\", "C:\\64\\cache.cpf"}}},
      {"a configuration without Properties in the 32-bit view",
       {{k32, "A", "Directory", "C:\\32"},
        {k64, "A", "Directory", "C:\\64"},
        {k64, "A", "Properties", "C:\\64\\cache.cpf"}},
       {},
       "A",
       {{"A", "C:\\32", "", "", no_key("A", "Properties")}}},
      {"an empty 32-bit configurations key",
       {{k32, "", "", {}}, {k64, "B", "Directory", "C:\\64"}},
       {},
       "B",
       {{"B", "C:\\64", "", "", no_key("B", "Properties")}}},
      {"a configuration without Directory in the 32-bit view",
       {{k32, "C", "", {}}, {k64, "C", "Directory", "C:\\64"}, {k64, "C", "Properties", "C:\\64\\cache.cpf"}},
       {},
       "C",
       {{"C", "", "", no_key("C", "Directory"), no_key("C", "Properties")}}},
      {"keys without values in the 32-bit view",
       {{k32, "Only32", "", {}},
        {k32, "Both", "Directory", {}},
        {k64, "Both", "Directory", "C:\\64"},
        {k64, "Both", "Properties", "C:\\64\\cache.cpf"},
        {k64, "Only64", "Directory", "C:\\only64"}},
       {},
       "Both\r\nOnly32",
       {{"Both", "", "", "The Directory key of configuration 'Both' has no value",
         no_key("Both", "Properties")},
        {"Only32", "", "", no_key("Only32", "Directory"), no_key("Only32", "Properties")},
        {"Only64", "C:\\only64", "", "", no_key("Only64", "Properties")}}},
      {"a 32-bit configurations key that refuses read access",
       {{k32, "A", "Directory", "C:\\32"}, {k64, "A", "Directory", "C:\\64"}},
       {{k32, "", "", {}}},
       "",
       {{"A", "", "", refused_key(""), refused_key("")}},
       refused_key("")},
      {"a 32-bit configuration key that refuses read access",
       {{k32, "A", "Directory", "C:\\32"},
        {k32, "B", "Directory", "C:\\32\\B"},
        {k64, "A", "Directory", "C:\\64"},
        {k64, "A", "Properties", "C:\\64\\cache.cpf"}},
       {{k32, "A", "", {}}},
       "A\r\nB",
       {{"A", "", "", refused_key("\\A"), refused_key("\\A")},
        {"B", "C:\\32\\B", "", "", no_key("B", "Properties")}}},
      {"a 32-bit Directory key that refuses read access",
       {{k32, "A", "Directory", "C:\\32"},
        {k32, "A", "Properties", "C:\\32\\cache.cpf"},
        {k64, "A", "Directory", "C:\\64"}},
       {{k32, "A", "Directory", {}}},
       "A",
       {{"A", "", "C:\\32\\cache.cpf", refused_key("\\A\\Directory"), ""}}},
  };
  for (const ViewRow& row : rows) {
    SCOPED_TRACE(row.label);
    ScratchConfigurations registry;
    for (const Key& key : row.keys) make(registry, key);
    for (const Key& key : row.refused) registry.refuse_read(key.name, key.subkey, key.view);
    EXPECT_STREQ(library().GetCacheConfig(), row.list.c_str());
    EXPECT_EQ(library().GetLastFailure(), row.list_why);
    for (const Answer& answer : row.answers) {
      SCOPED_TRACE(answer.name);
      EXPECT_STREQ(library().GetCacheDir(answer.name.c_str()), answer.dir.c_str());
      EXPECT_EQ(library().GetLastFailure(), answer.dir_why);
      EXPECT_STREQ(library().GetCacheCpf(answer.name.c_str()), answer.cpf.c_str());
      EXPECT_EQ(library().GetLastFailure(), answer.cpf_why);
    }
  }
}

// The port is read from the file of the view that answered: never from the
// other installation's file.
TEST(RegistryViews, ThePortComesFromTheSameView) {
  ScratchConfigurations registry;
  ScratchDirectory dir;
  const std::string cpf32 = dir.write("32.cpf", crlf_lines({"[Startup]", "DefaultPort=1972"}));
  const std::string cpf64 = dir.write("64.cpf", crlf_lines({"[Startup]", "DefaultPort=56773"}));
  registry.set_text("Both", "Properties", cpf32);
  registry.set_text("Both", "Properties", cpf64, View::Wide64);
  registry.set_text("Without", "Directory", "C:\\32");
  registry.set_text("Without", "Properties", cpf64, View::Wide64);
  registry.set_text("Only64", "Properties", cpf64, View::Wide64);
  EXPECT_EQ(library().GetCachePort("Both"), 1972);
  EXPECT_EQ(library().GetCachePort("Without"), -1);
  EXPECT_EQ(library().GetCachePort("Only64"), 56773);
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
    std::string failure;
  };
  const Row rows[] = {
      {1, growing::text(1), ""},
      {2, growing::text(2), ""},
      // It keeps growing: after a few reads the value counts as unreadable.
      {1000, "", value_failure("Failed to get data", "Directory", "CACHE")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("grows " + std::to_string(row.growths) + " times");
    registry.set_text("CACHE", "Directory", "C:\\Cache\\");
    growing::growths_left = row.growths;
    growing::grown = 0;
    const Traced dir = traced([] { return library().GetCacheDir("CACHE"); });
    EXPECT_EQ(dir.answer, row.directory);
    EXPECT_EQ(dir.failure, row.failure);
    EXPECT_GE(growing::grown, 1);
  }
  growing::growths_left = 0;
}
