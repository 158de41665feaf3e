// Bad configuration names and registry contents for the registry exports: each
// row states the defined result; nothing may crash, hang or throw.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/library.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/shared_texts.h"

using namespace ulvane::test;

// Configuration names go into a registry path unexamined; whatever they hold,
// a name that names no configuration gives the empty text and -1.
TEST(BadNames, ConfigurationNames) {
  ScratchConfigurations registry;
  ScratchDirectory dir;
  const std::string cpf = dir.write("cache.cpf", crlf_lines({"[Startup]", "DefaultPort=1972"}));
  registry.set_text("CACHE", "Directory", "C:\\Cache");
  registry.set_text("CACHE", "Properties", cpf);
  // Odd but real names are found like any other: nothing in them is interpreted.
  for (const std::string name : {"%s%n%x%%", "\"quoted\" [x]", "Cach\xe9\xff", "a,b;c=d"}) {
    registry.set_text(name, "Directory", "dir of " + name);
    registry.set_text(name, "Properties", cpf);
  }

  struct Row {
    const char* label;
    std::string name;
    bool null_pointer;
    std::string dir;  // GetCacheDir; GetCacheCpf gives cpf where dir is not empty
    int port;
  };
  const std::vector<Row> rows = {
      {"null pointer", "", true, "", -1},
      {"empty", "", false, "", -1},
      {"64 KB", k64K, false, "", -1},
      {"1 MB", k1M, false, "", -1},
      {"format directives", "%s%n%x%%", false, "dir of %s%n%x%%", 1972},
      {"quotes and brackets", "\"quoted\" [x]", false, "dir of \"quoted\" [x]", 1972},
      {"non-ASCII ANSI", "Cach\xe9\xff", false, "dir of Cach\xe9\xff", 1972},
      {"separators", "a,b;c=d", false, "dir of a,b;c=d", 1972},
      {"CR LF", "CACHE\r\n", false, "", -1},
      {"a file path", cpf, false, "", -1},
      {"backslash to a deeper key", "CACHE\\Directory", false, "", -1},
      // The registry skips the empty path component this makes.
      {"trailing backslash", "CACHE\\", false, "C:\\Cache", 1972},
      {"parent steps", "..\\..\\Configurations\\CACHE", false, "", -1},
      {"another configuration's case", "cache", false, "C:\\Cache", 1972},  // registry names ignore case
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const char* name = row.null_pointer ? nullptr : row.name.c_str();
    const char* dir_text = library().GetCacheDir(name);
    const char* cpf_text = library().GetCacheCpf(name);
    ASSERT_NE(dir_text, nullptr);
    ASSERT_NE(cpf_text, nullptr);
    EXPECT_EQ(dir_text, row.dir);
    EXPECT_EQ(cpf_text, row.dir.empty() ? "" : cpf);
    EXPECT_EQ(library().GetCachePort(name), row.port);
  }
}

// Names up to the registry's limit of 255 characters are found like short ones,
// although the full path of a long one passes the platform's path limit.
TEST(BadNames, LongConfigurationNames) {
  ScratchConfigurations registry;
  ScratchDirectory dir;
  const std::string cpf = dir.write("cache.cpf", crlf_lines({"[Startup]", "DefaultPort=1972"}));
  // 206 is the longest whose full Directory path fits; past 250 not even the path
  // below the configurations key does.
  for (std::size_t length : {206u, 207u, 250u, 251u, 255u}) {
    SCOPED_TRACE(length);
    const std::string name(length, static_cast<char>('a' + length % 26));
    registry.set_text(name, "Directory", "dir of " + std::to_string(length));
    registry.set_text(name, "Properties", cpf);
    EXPECT_NE(std::string(library().GetCacheConfig()).find(name), std::string::npos);
    EXPECT_STREQ(library().GetCacheDir(name.c_str()), ("dir of " + std::to_string(length)).c_str());
    EXPECT_STREQ(library().GetCacheCpf(name.c_str()), cpf.c_str());
    EXPECT_EQ(library().GetCachePort(name.c_str()), 1972);
  }
}


TEST(BadNames, ManyAndLongConfigurationNames) {
  ScratchConfigurations registry;
  for (int i = 0; i < 300; ++i) {
    // Up to the registry's limit of 255 characters.
    std::string name =
        std::string("C").append(1 + i % 251, static_cast<char>('a' + i % 26)).append(std::to_string(i));
    registry.add(name);
  }
  // The registry returns names in its own order; the list holds each once, CR LF between.
  std::string names = library().GetCacheConfig();
  int count = names.empty() ? 0 : 1;
  for (std::size_t at = names.find("\r\n"); at != std::string::npos; at = names.find("\r\n", at + 2)) ++count;
  EXPECT_EQ(count, 300);
  EXPECT_EQ(names.find("\r\n\r\n"), std::string::npos);
  EXPECT_NE(names.substr(names.size() - 2), "\r\n");
}
