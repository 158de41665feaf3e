// Bad input for the configuration-file and server exports: each row states the
// defined result; nothing may crash, hang or throw, and a file the library did
// not mean to change keeps every byte.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <objbase.h>
#include <random>
#include <string>
#include <vector>

#include "support/com_checks.h"
#include "support/library.h"
#include "support/scratch_directory.h"
#include "support/shared_texts.h"
#include "support/standin_server.h"

using namespace ulvane::test;

namespace {

std::string garbage(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

}  // namespace

namespace {

struct FileRow {
  const char* label;
  std::string before;  // written as the file's bytes
  int status;
  std::string after;  // the expected bytes; "<unchanged>" for the bytes before
};

}  // namespace

TEST(BadInput, ConfigurationFiles) {
  ScratchDirectory dir;
  const std::string both = crlf_lines({"[Namespaces]", "Nsp_1=" + kNsp, "[CSP.Applications]", "CSPApp_1=" + kApp});
  const std::vector<FileRow> rows = {
      {"empty", "", 1, both},
      {"decimal number past the limit", crlf_lines({"[Namespaces]", "Nsp_2147483648=A"}), 0, "<unchanged>"},
      {"negative number past the limit", crlf_lines({"[Namespaces]", "Nsp_-2147483649=A"}), 0, "<unchanged>"},
      {"hexadecimal past 32 bits", crlf_lines({"[Namespaces]", "Nsp_0x100000000=A"}), 0, "<unchanged>"},
      {"number at the lowest limit", crlf_lines({"[Namespaces]", "Nsp_-2147483648=ULV"}), 1,
       crlf_lines({"[Namespaces]", "Nsp_-2147483648=" + kNsp, "[CSP.Applications]", "CSPApp_1=" + kApp})},
      {"hexadecimal with the top bit set counts as negative",
       crlf_lines({"[Namespaces]", "Nsp_$80000000=A", "Nsp_0xFFFFFFFF=B", "Nsp_3=C"}), 1,
       crlf_lines({"[Namespaces]", "Nsp_$80000000=A", "Nsp_0xFFFFFFFF=B", "Nsp_3=C", "Nsp_4=" + kNsp,
                   "[CSP.Applications]", "CSPApp_1=" + kApp})},
      {"format directives and quotes in values",
       crlf_lines({"[Namespaces]", "Nsp_1=%s%n%x,\"q\"", "[CSP.Applications]", "CSPApp_1=/%n,[x]\\y"}), 1,
       crlf_lines({"[Namespaces]", "Nsp_1=%s%n%x,\"q\"", "Nsp_2=" + kNsp, "[CSP.Applications]", "CSPApp_1=/%n,[x]\\y",
                   "CSPApp_2=" + kApp})},
      {"non-ASCII ANSI text", crlf_lines({"[Namespaces]", "Nsp_1=CAF\xc9,\xe9", "[CSP.Applications]"}), 1,
       crlf_lines({"[Namespaces]", "Nsp_1=CAF\xc9,\xe9", "Nsp_2=" + kNsp, "[CSP.Applications]", "CSPApp_1=" + kApp})},
      {"a value longer than one read", crlf_lines({"[Namespaces]", "Nsp_1=" + std::string(5000, 'v')}), 1,
       crlf_lines({"[Namespaces]", "Nsp_1=" + std::string(5000, 'v'), "Nsp_2=" + kNsp, "[CSP.Applications]",
                   "CSPApp_1=" + kApp})},
      {"binary garbage with a bad key", "[Namespaces]\r\n" + garbage(4096, 7), 0, "<unchanged>"},
  };
  int n = 0;
  for (const FileRow& row : rows) {
    std::string name = "bad" + std::to_string(n++) + ".cpf";
    std::string path = dir.write(name, row.before);
    EXPECT_EQ(library().UpdateCpf(path.c_str()), row.status) << row.label;
    const std::string& expected = row.after == "<unchanged>" ? row.before : row.after;
    std::string after = dir.read(name);
    EXPECT_TRUE(after == expected) << row.label << ": " << (after.size() < 400 ? after : "(long)");
  }
}

TEST(BadInput, ConfigurationFilePaths) {
  ScratchDirectory dir;
  CreateDirectoryA(dir.file("a directory.cpf").c_str(), nullptr);
  struct Row {
    const char* label;
    std::string path;
    bool null_pointer;
  };
  const std::vector<Row> rows = {
      {"null pointer", "", true},
      {"empty", "", false},
      {"a directory", dir.file("a directory.cpf"), false},
      {"a missing drive", "Q:\\nowhere\\cache.cpf", false},
      {"a missing directory", dir.file("no such dir\\cache.cpf"), false},
      {"64 KB", dir.file(k64K), false},
      {"1 MB", dir.file(k1M), false},
      {"CR LF", dir.file("cache\r\n.cpf"), false},
      {"wildcards", dir.file("*.cpf"), false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(library().UpdateCpf(row.null_pointer ? nullptr : row.path.c_str()), 0) << row.label;
  DWORD attributes = GetFileAttributesA(dir.file("a directory.cpf").c_str());
  EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));

  // An odd but valid file name is just a file.
  std::string odd = dir.file("%s%n [\xe9] 'x'.cpf");
  EXPECT_EQ(library().UpdateCpf(odd.c_str()), 1);
  EXPECT_EQ(dir.read("%s%n [\xe9] 'x'.cpf"),
            crlf_lines({"[Namespaces]", "Nsp_1=" + kNsp, "[CSP.Applications]", "CSPApp_1=" + kApp}));
}

// The library never changes a file's attributes: a read-only file is written only
// where the platform itself writes read-only files (Wine does, for root).
TEST(BadInput, ReadOnlyConfigurationFile) {
  ScratchDirectory dir;
  const std::string before = crlf_lines({"[Namespaces]", "Nsp_1=A"});
  std::string path = dir.write("readonly.cpf", before);
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  HANDLE probe = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const bool platform_writes = probe != INVALID_HANDLE_VALUE;
  if (platform_writes) CloseHandle(probe);

  EXPECT_EQ(library().UpdateCpf(path.c_str()), platform_writes ? 1 : 0);
  EXPECT_EQ(dir.read("readonly.cpf"),
            platform_writes ? crlf_lines({"[Namespaces]", "Nsp_1=A", "Nsp_2=" + kNsp, "[CSP.Applications]",
                                          "CSPApp_1=" + kApp})
                            : before);
  EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY);
}

// Host, port and namespace reach the control verbatim; lines reach the server
// verbatim. What the server rejects while the control traps its errors does not
// fail a load; what cannot connect fails every export.
TEST(BadInput, ServerArguments) {
  StandinServer server;
  const std::string host = server.host(), port = server.port_text();
  const std::string routine = server.write_file("r\xc3\xa9.rtn", "RE ; r\xc3\xa9\r\n Q\r\n");  // UTF-8 on the server
  const std::string ansi_routine = server.directory() + "\\r\xe9.rtn";                     // the same file in ANSI
  const std::string big_literal = std::string(1, '"').append(1024 * 1024, 'x').append(1, '"');
  const char* null = nullptr;

  struct Row {
    const char* label;
    std::function<std::string()> call;
    std::string expected;  // the exact result, or with contains set, a part of it
    bool contains;
  };
  auto call = [&](const char* h, const char* p, const char* ns, const char* expression) {
    return std::string(library().Call(h, p, ns, expression));
  };
  const std::vector<Row> rows = {
      {"null host", [&] { return call(null, port.c_str(), "USER", "1"); }, "cn_iptcp:[" + port + "]", true},
      {"null port", [&] { return call(host.c_str(), null, "USER", "1"); }, "cn_iptcp:127.0.0.1[]", true},
      {"bracket in host", [&] { return call("127.0.0.1]", port.c_str(), "USER", "1"); },
       "cn_iptcp:127.0.0.1][" + port + "]", true},
      {"word for port", [&] { return call(host.c_str(), "%s%n", "USER", "1"); }, "cn_iptcp:127.0.0.1[%s%n]", true},
      {"64 KB host", [&] { return call(k64K.c_str(), port.c_str(), "USER", "1"); }, "cn_iptcp:NNNN", true},
      {"unknown namespace: the line runs where the connection started",
       [&] { return call(host.c_str(), port.c_str(), k64K.c_str(), "$NAMESPACE"); }, "USER", false},
      {"null expression", [&] { return call(host.c_str(), port.c_str(), "USER", null); }, "", false},
      {"format directives", [&] { return call(host.c_str(), port.c_str(), "USER", "%s%n"); }, "", false},
      {"CR LF inside", [&] { return call(host.c_str(), port.c_str(), "USER", "1\r\nS P1=2"); }, "", false},
      {"1 MB value", [&] { return call(host.c_str(), port.c_str(), "USER", big_literal.c_str()); },
       std::string(1024 * 1024, 'x'), false},
      {"load: non-ASCII path",
       [&] { return std::to_string(library().LoadRtn(ansi_routine.c_str(), host.c_str(), port.c_str(), "ULV", "RE")); },
       "1", false},
      {"load: 64 KB routine name",
       [&] { return std::to_string(library().LoadRtn(ansi_routine.c_str(), host.c_str(), port.c_str(), "ULV", k64K.c_str())); },
       "1", false},
      {"load: 1 MB path", [&] { return std::to_string(library().LoadFile(host.c_str(), port.c_str(), k1M.c_str())); },
       "1", false},
      {"load: no server", [&] { return std::to_string(library().LoadFile(null, null, null)); }, "0", false},
      {"load: quote in path",
       [&] { return std::to_string(library().LoadRtn("C:\\\"x.rtn", host.c_str(), port.c_str(), "ULV", "Q")); }, "1",
       false},
  };
  for (const Row& row : rows) {
    std::string result = row.call();
    if (row.contains) EXPECT_NE(result.find(row.expected), std::string::npos) << row.label << ": " << result.substr(0, 200);
    else EXPECT_TRUE(result == row.expected) << row.label << ": " << result.substr(0, 200);
    EXPECT_EQ(current_apartment(), -1) << row.label;
  }
  EXPECT_EQ(server.routine("ULV", "RE"), "RE ; r\xc3\xa9\r\n Q\r\n");
  EXPECT_EQ(server.routine("ULV", "Q"), std::nullopt);
  const std::string journal = server.journal();
  EXPECT_NE(journal.find("USER\tS P1=1\r\nS P1=2\n"), std::string::npos);
  EXPECT_NE(journal.find("USER\tS P1=" + big_literal + "\n"), std::string::npos);
}

// 10 MB, 50,000 entries in one section: every key is still seen, and everything
// but the new entries keeps its text.
TEST(BadInput, ATenMegabyteFile) {
  ScratchDirectory dir;
  std::string before = "[Namespaces]\r\n";
  const std::string filler(190, 'f');
  for (int i = 1; i <= 50000; ++i) before.append("Nsp_").append(std::to_string(i)).append("=NS,").append(filler).append("\r\n");
  before.append("[CSP.Applications]\r\n");
  ASSERT_GE(before.size(), 10u * 1000 * 1000);
  std::string path = dir.write("large.cpf", before);
  EXPECT_EQ(library().UpdateCpf(path.c_str()), 1);
  std::string expected = before;
  expected.insert(expected.find("[CSP.Applications]"), "Nsp_50001=" + kNsp + "\r\n");
  expected.append("CSPApp_1=" + kApp + "\r\n");
  EXPECT_TRUE(dir.read("large.cpf") == expected);
}
