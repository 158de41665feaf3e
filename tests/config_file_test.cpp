// GetCachePort and UpdateCpf on real configuration files in the test prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/library.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/shared_texts.h"
#include "support/text_difference.h"

using namespace ulvane::test;

namespace {

std::string nsp(const std::string& key) { return key + "=" + kNsp; }
std::string app(const std::string& key) { return key + "=" + kApp; }

}  // namespace

TEST(CachePort, ReadsDefaultPortFromTheConfigurationFile) {
  ScratchConfigurations registry;
  ScratchDirectory dir;
  struct Row {
    const char* line;
    int expected;
  };
  const Row rows[] = {
      {"DefaultPort=1972", 1972},
      {"DefaultPort=56773", 56773},
      {"DefaultPort=$7B4", 1972},
      {"DefaultPort=x7b4", 1972},
      {"DefaultPort=X7B4", 1972},
      {"DefaultPort=0x7B4", 1972},
      {"DefaultPort=0X7b4", 1972},
      {"DefaultPort=+1972", 1972},
      {"DefaultPort=-7", -7},
      {"DefaultPort=word", -1},
      {"DefaultPort=1972x", -1},
      {"DefaultPort=\"1972 \"", -1},  // quotes keep the trailing blank
      {"DefaultPort=19 72", -1},
      {"DefaultPort=", -1},
      {"DefaultPort=99999999999", -1},
      {"OtherKey=1972", -1},
  };
  int i = 0;
  for (const Row& row : rows) {
    // A file of its own for each row: the platform may keep a recently read file cached.
    std::string cpf = dir.write("port" + std::to_string(i++) + ".cpf",
                                crlf_lines({"[Config]", "DefaultPort=1", "[Startup]", row.line}));
    registry.set_text("CACHE", "Properties", cpf);
    SCOPED_TRACE(row.line);
    EXPECT_EQ(library().GetCachePort("CACHE"), row.expected);
  }
}

TEST(CachePort, IsMinusOneWhenThePortCannotBeFound) {
  ScratchConfigurations registry;
  ScratchDirectory dir;
  registry.set_text("NoFile", "Properties", dir.file("missing.cpf"));
  registry.set_text("NoSection", "Properties", dir.write("nosection.cpf", crlf_lines({"[Other]", "DefaultPort=1972"})));
  registry.add("NoProperties");
  const DWORD number = 1972;
  registry.set_default("NotText", "Properties", REG_DWORD, &number, sizeof number);
  for (const char* name : {"NoFile", "NoSection", "NoProperties", "NotText", "Unknown", ""}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(library().GetCachePort(name), -1);
  }
  EXPECT_EQ(library().GetCachePort(nullptr), -1);
}

namespace {

struct UpdateRow {
  const char* label;
  std::string before;
  std::string after;
  int status;
};

class UpdateCpf : public ::testing::Test {
protected:
  ScratchDirectory dir;
  int file_number = 0;

  // A fresh file holding the text; its name in the directory.
  std::string fresh_file(const std::string& text) {
    std::string name = "update" + std::to_string(file_number++) + ".cpf";
    dir.write(name, text);
    return name;
  }

  // Runs UpdateCpf twice on a fresh file holding the row's text, and checks the whole
  // file after each run: the second run must find nothing left to change.
  void check(const UpdateRow& row) {
    SCOPED_TRACE(row.label);
    const std::string name = fresh_file(row.before);
    for (int run = 1; run <= 2; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      EXPECT_EQ(library().UpdateCpf(dir.file(name).c_str()), row.status);
      EXPECT_TRUE(same_text(dir.read(name), row.after));
    }
  }
};

}  // namespace

TEST_F(UpdateCpf, WritesEachEntryByTheRulesAndASecondRunChangesNothing) {
  const std::string startup = "[Startup]\r\nDefaultPort=1972\r\n";
  const UpdateRow rows[] = {
      {"neither section: number 1 in both", "",
       crlf_lines({"[Namespaces]", nsp("Nsp_1"), "[CSP.Applications]", app("CSPApp_1")}), 1},
      {"no match: the next number after the highest",
       crlf_lines({"[Namespaces]", "Nsp_1=%SYS,CACHESYS", "Nsp_2=USER,USER", "Nsp_3=SAMPLES,SAMPLES",
                   "[CSP.Applications]", "CSPApp_1=/csp/sys,x", "CSPApp_7=/csp/user,y"}),
       crlf_lines({"[Namespaces]", "Nsp_1=%SYS,CACHESYS", "Nsp_2=USER,USER", "Nsp_3=SAMPLES,SAMPLES", nsp("Nsp_4"),
                   "[CSP.Applications]", "CSPApp_1=/csp/sys,x", "CSPApp_7=/csp/user,y", app("CSPApp_8")}),
       1},
      {"a match is rewritten in place, whole value replaced",
       crlf_lines({"[Namespaces]", "Nsp_1=USER,USER", "Nsp_2=ULV,OLD,VALUE", "Nsp_3=X,X", "[CSP.Applications]",
                   "CSPApp_1=/csp/ulv,old", "CSPApp_2=/csp/user,y"}),
       crlf_lines({"[Namespaces]", "Nsp_1=USER,USER", nsp("Nsp_2"), "Nsp_3=X,X", "[CSP.Applications]",
                   app("CSPApp_1"), "CSPApp_2=/csp/user,y"}),
       1},
      {"match without further fields", crlf_lines({"[Namespaces]", "Nsp_5=ULV", "[CSP.Applications]", "CSPApp_2=/csp/ulv"}),
       crlf_lines({"[Namespaces]", nsp("Nsp_5"), "[CSP.Applications]", app("CSPApp_2")}), 1},
      {"case matters", crlf_lines({"[Namespaces]", "Nsp_1=ulv,x", "[CSP.Applications]", "CSPApp_1=/CSP/ULV,x"}),
       crlf_lines({"[Namespaces]", "Nsp_1=ulv,x", nsp("Nsp_2"), "[CSP.Applications]", "CSPApp_1=/CSP/ULV,x",
                   app("CSPApp_2")}),
       1},
      {"several matches: the last in file order",
       crlf_lines({"[Namespaces]", "Nsp_9=ULV,a", "Nsp_2=ULV,b", "[CSP.Applications]", app("CSPApp_1")}),
       crlf_lines({"[Namespaces]", "Nsp_9=ULV,a", nsp("Nsp_2"), "[CSP.Applications]", app("CSPApp_1")}), 1},
      {"every key counts whatever its prefix",
       crlf_lines({"[Namespaces]", "Other_7=X,Y", "[CSP.Applications]", "Foo_12=/a,b"}),
       crlf_lines({"[Namespaces]", "Other_7=X,Y", nsp("Nsp_8"), "[CSP.Applications]", "Foo_12=/a,b",
                   app("CSPApp_13")}),
       1},
      {"a match numbered -1 counts as none; highest never drops below 0",
       crlf_lines({"[Namespaces]", "Nsp_-1=ULV,x", "Nsp_-5=A,B", "[CSP.Applications]"}),
       crlf_lines({"[Namespaces]", "Nsp_-1=ULV,x", "Nsp_-5=A,B", nsp("Nsp_1"), "[CSP.Applications]", app("CSPApp_1")}),
       1},
      {"hexadecimal key numbers: written back in decimal, the old key stays",
       crlf_lines({"[Namespaces]", "Nsp_0x10=ULV,x", "Nsp_$3=A", "[CSP.Applications]", "CSPApp_X1F=/x"}),
       crlf_lines({"[Namespaces]", "Nsp_0x10=ULV,x", "Nsp_$3=A", nsp("Nsp_16"), "[CSP.Applications]",
                   "CSPApp_X1F=/x", app("CSPApp_32")}),
       1},
      {"signs, leading zeros and a second underscore",
       crlf_lines({"[Namespaces]", "Nsp_+3=B", "Nsp_02=ULV,x", "[CSP.Applications]", "CSPApp_5_old=/csp/ulv,x"}),
       crlf_lines({"[Namespaces]", "Nsp_+3=B", "Nsp_02=ULV,x", nsp("Nsp_2"), "[CSP.Applications]",
                   "CSPApp_5_old=/csp/ulv,x", app("CSPApp_5")}),
       1},
      // A match is written under the key rebuilt from its number, which must not
      // be another entry's: then the match counts as none.
      {"a zero-padded match beside another entry's decimal key",
       crlf_lines(
           {"[Namespaces]", "Nsp_1=USER", "Nsp_02=ULV,old", "Nsp_2=SAMPLES,keep", "[CSP.Applications]"}),
       crlf_lines({"[Namespaces]", "Nsp_1=USER", "Nsp_02=ULV,old", "Nsp_2=SAMPLES,keep", nsp("Nsp_3"),
                   "[CSP.Applications]", app("CSPApp_1")}),
       1},
      {"a match under another prefix beside an entry with its number",
       crlf_lines({"[Namespaces]", "[CSP.Applications]", "CSPApp_1=/csp/user,keep", "Backup_1=/csp/ulv,old"}),
       crlf_lines({"[Namespaces]", nsp("Nsp_1"), "[CSP.Applications]", "CSPApp_1=/csp/user,keep",
                   "Backup_1=/csp/ulv,old", app("CSPApp_2")}),
       1},
      {"a hexadecimal match beside another entry's decimal key, whatever its case",
       crlf_lines({"[Namespaces]", "NSP_2=SAMPLES,keep", "Nsp_0x2=ULV,old", "[CSP.Applications]",
                   "CSPApp_ 4=/csp/ulv,old", "cspapp_4=/csp/user,keep"}),
       crlf_lines({"[Namespaces]", "NSP_2=SAMPLES,keep", "Nsp_0x2=ULV,old", nsp("Nsp_3"),
                   "[CSP.Applications]", "CSPApp_ 4=/csp/ulv,old", "cspapp_4=/csp/user,keep",
                   app("CSPApp_5")}),
       1},
      {"a second underscore beside another entry's key",
       crlf_lines({"[Namespaces]", "Nsp_1=USER,keep", "Nsp_1_old=ULV,old", "[CSP.Applications]",
                   "Old_2=/csp/ulv", "CSPApp_2=/csp/sys,keep"}),
       crlf_lines({"[Namespaces]", "Nsp_1=USER,keep", "Nsp_1_old=ULV,old", nsp("Nsp_2"), "[CSP.Applications]",
                   "Old_2=/csp/ulv", "CSPApp_2=/csp/sys,keep", app("CSPApp_3")}),
       1},
      {"the rebuilt key holding a match of its own is rewritten",
       crlf_lines({"[Namespaces]", "Nsp_2=ULV,a", "Nsp_02=ULV,b", "[CSP.Applications]", "CSPApp_1=/csp/ulv,a",
                   "CSPApp_$1=/csp/ulv,b"}),
       crlf_lines({"[Namespaces]", nsp("Nsp_2"), "Nsp_02=ULV,b", "[CSP.Applications]", app("CSPApp_1"),
                   "CSPApp_$1=/csp/ulv,b"}),
       1},
      {"a demoted match past the largest number: nothing written",
       crlf_lines({"[Namespaces]", "Nsp_2147483647=A", "Nsp_0x7FFFFFFF=ULV", "[CSP.Applications]"}),
       crlf_lines({"[Namespaces]", "Nsp_2147483647=A", "Nsp_0x7FFFFFFF=ULV", "[CSP.Applications]"}), 0},
      // The empty name does not parse; every name after it is still read, so
      // nothing is written at all.
      {"a key with an empty name",
       crlf_lines({"[Namespaces]", "Nsp_1=A", "=orphan", "Nsp_2=ULV,x", "[CSP.Applications]"}),
       crlf_lines({"[Namespaces]", "Nsp_1=A", "=orphan", "Nsp_2=ULV,x", "[CSP.Applications]"}), 0},
      {"other sections, keys and comments keep their text",
       crlf_lines({"[ConfigFile]", "Version=2018.1", "[Startup]", "DefaultPort=1972", "WebServer=1", "[Namespaces]",
                   "Nsp_1=%SYS,CACHESYS", "[Map.ULV]", "Global_X=ULV", "[CSP.Applications]", "CSPApp_1=/csp/sys,z",
                   "[Devices]", "47=47,SDP"}),
       crlf_lines({"[ConfigFile]", "Version=2018.1", "[Startup]", "DefaultPort=1972", "WebServer=1", "[Namespaces]",
                   "Nsp_1=%SYS,CACHESYS", nsp("Nsp_2"), "[Map.ULV]", "Global_X=ULV", "[CSP.Applications]",
                   "CSPApp_1=/csp/sys,z", app("CSPApp_2"), "[Devices]", "47=47,SDP"}),
       1},
      {"the largest number has no next one: nothing written",
       crlf_lines({"[Namespaces]", "Nsp_2147483647=A,B", "[CSP.Applications]"}),
       crlf_lines({"[Namespaces]", "Nsp_2147483647=A,B", "[CSP.Applications]"}), 0},
      {"the largest number is rewritten when it matches",
       crlf_lines({"[Namespaces]", "Nsp_2147483647=ULV", "[CSP.Applications]", "CSPApp_0xFFFFFFFF=/csp/ulv"}),
       crlf_lines({"[Namespaces]", nsp("Nsp_2147483647"), "[CSP.Applications]", "CSPApp_0xFFFFFFFF=/csp/ulv",
                   app("CSPApp_1")}),
       1},
      {"a key number that does not parse: nothing written",
       crlf_lines({"[Namespaces]", "Nsp_1=A", "Default=B", "[CSP.Applications]"}) + startup,
       crlf_lines({"[Namespaces]", "Nsp_1=A", "Default=B", "[CSP.Applications]"}) + startup, 0},
      {"a bad key in the second section leaves the first entry written",
       crlf_lines({"[Namespaces]", "Nsp_1=A", "[CSP.Applications]", "CSPApp_x=/csp/ulv"}),
       crlf_lines({"[Namespaces]", "Nsp_1=A", nsp("Nsp_2"), "[CSP.Applications]", "CSPApp_x=/csp/ulv"}), 0},
      {"a match and a new entry",
       crlf_lines({"[Namespaces]", "Nsp_1=USER,USER", "Nsp_2=ULV,old", "[CSP.Applications]",
                   "CSPApp_3=/csp/user,y"}),
       crlf_lines({"[Namespaces]", "Nsp_1=USER,USER", nsp("Nsp_2"), "[CSP.Applications]",
                   "CSPApp_3=/csp/user,y", app("CSPApp_4")}),
       1},
      {"matches spelled otherwise beside other entries' keys",
       crlf_lines({"[Namespaces]", "Nsp_1=USER", "Nsp_02=ULV,old", "Nsp_2=SAMPLES,keep", "[CSP.Applications]",
                   "CSPApp_1=/csp/user,keep", "Backup_1=/csp/ulv,old"}),
       crlf_lines({"[Namespaces]", "Nsp_1=USER", "Nsp_02=ULV,old", "Nsp_2=SAMPLES,keep", nsp("Nsp_3"),
                   "[CSP.Applications]", "CSPApp_1=/csp/user,keep", "Backup_1=/csp/ulv,old",
                   app("CSPApp_2")}),
       1},
      {"a hexadecimal match beside another entry's key",
       crlf_lines({"[Namespaces]", "Nsp_2=SAMPLES,keep", "Nsp_0x2=ULV,old", "[CSP.Applications]"}),
       crlf_lines({"[Namespaces]", "Nsp_2=SAMPLES,keep", "Nsp_0x2=ULV,old", nsp("Nsp_3"),
                   "[CSP.Applications]", app("CSPApp_1")}),
       1},
  };
  for (const UpdateRow& row : rows) check(row);
}

TEST_F(UpdateCpf, CreatesAMissingFile) {
  EXPECT_EQ(library().UpdateCpf(dir.file("new.cpf").c_str()), 1);
  EXPECT_TRUE(same_text(dir.read("new.cpf"),
                        crlf_lines({"[Namespaces]", nsp("Nsp_1"), "[CSP.Applications]", app("CSPApp_1")})));
}

// Thousands of entries: the key list is far longer than one first read takes.
TEST_F(UpdateCpf, SeesEveryKeyOfALongSection) {
  const int kEntries = 6000;
  auto section = [&](const char* name, const char* prefix, int ulv_at, const std::string& ulv_value) {
    std::string text = std::string("[") + name + "]\r\n";
    for (int i = 1; i <= kEntries; ++i) {
      text.append(prefix).append(std::to_string(i)).append("=");
      text.append(i == ulv_at ? ulv_value : "NAMESPACE" + std::to_string(i) + ",CACHELIB").append("\r\n");
    }
    return text;
  };
  // The match sits near the end of Namespaces; CSP.Applications has none, so its new number is 6001.
  std::string before = section("Namespaces", "Nsp_", 5999, "ULV,old") + section("CSP.Applications", "CSPApp_", 0, "");
  std::string expected = section("Namespaces", "Nsp_", 5999, kNsp) + section("CSP.Applications", "CSPApp_", 0, "") +
                         app("CSPApp_6001") + "\r\n";
  ASSERT_GT(before.size(), 6 * 16384u);
  std::string path = dir.write("long.cpf", before);
  EXPECT_EQ(library().UpdateCpf(path.c_str()), 1);
  EXPECT_TRUE(same_text(dir.read("long.cpf"), expected));
}

TEST_F(UpdateCpf, FailsWhenTheFileCannotBeWritten) {
  const std::string before = crlf_lines({"[Namespaces]", "Nsp_1=A", "[CSP.Applications]", "CSPApp_1=/b"});
  std::string path = dir.write("held.cpf", before);
  // Held open without sharing, as another process holding the file would.
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(library().UpdateCpf(path.c_str()), 0);
  CloseHandle(held);
  EXPECT_TRUE(same_text(dir.read("held.cpf"), before));
}
