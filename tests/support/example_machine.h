// What the example installers (NSIS and Inno Setup) are run against: a machine
// with server configurations and their configuration files, the files the examples
// ship, and what a host leaves behind in the temporary directory.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/scratch_registry.h"
#include "support/standin_server.h"

namespace ulvane::test {

// The product's two entries, as UpdateCpf writes them into the file below.
extern const std::string kNamespaceEntry;
extern const std::string kApplicationEntry;

// A configuration file as a server writes it, with entries that are not ours;
// with the product's two entries when registered.
std::string configuration_file(const std::string& port, bool registered);

// One server configuration named name, its directory a scratch directory holding its file.
struct Configuration {
  Configuration(ScratchConfigurations& registry, const std::string& name, const std::string& port);
  std::string install_dir() const { return dir.path() + "\\CSP\\ulv"; }
  std::string routine_file(const std::string& name) const { return install_dir() + "\\routines\\" + name; }

  ScratchDirectory dir;
};

// A file under examples/, or "<missing ...>".
std::string example_file(const std::string& relative);
// The product's routines shipped in examples/routines (all but the install routine), by name.
std::vector<std::string> shipped_routines();

// The expression both examples ask in a namespace to check that a routine was saved
// there: the namespace's name and whether the routine exists, as "ULV:1".
std::string load_check(const std::string& routine);

// The lines a clean install into this configuration sends the server, in order
// (the server's journal).
std::string clean_install_journal(const Configuration& configuration);

// What a clean install into this configuration leaves on the server and the machine:
// the journal, the routines saved, the configuration file and the web file.
inline void expect_clean_install(const StandinServer& server, const Configuration& configuration) {
  EXPECT_EQ(configuration.dir.read("cache.cpf"), configuration_file(server.port_text(), true));
  EXPECT_EQ(server.journal(), clean_install_journal(configuration));
  // Every routine file shipped is loaded, so a file added without its line in the script shows here.
  const std::vector<std::string> shipped = shipped_routines();
  EXPECT_FALSE(shipped.empty());
  for (const std::string& name : shipped)
    EXPECT_EQ(server.routine("ULV", name), example_file("routines/" + name + ".rtn")) << name;
  EXPECT_EQ(server.routine("%SYS", "QUMAINST"), example_file("routines/ulvinst.rtn"));
  EXPECT_EQ(read_file(configuration.install_dir() + "\\index.csp"), example_file("web/index.csp"));
}

// What an installer run gave.
struct Install {
  unsigned long exit_code;
  std::string log;
};

// An install into a configuration named CACHE with the host's trace option
// (trace_option(file) is the argument that names the file): the install is as clean
// as untraced, the host says where it traces (unless says_where is false: a host whose
// log is not its own), and the file holds a well-formed line per call, every one from
// the same process, with the calls every example makes, in order, with their
// arguments, results and no failure; then host_calls, the host's own last calls
// (TraceLine::call() lines).
void expect_traced_install(const std::function<Install(const std::string&)>& install,
                           const std::function<std::string(const std::string&)>& trace_option,
                           const std::string& host_calls, bool says_where = true);

// A situation in which an example installer must stop, and the reason it gives.
struct StopCase {
  std::string label;
  std::string port;  // the configuration's DefaultPort; empty: no configuration at all
  std::string arguments;
  std::string reason;  // how the text after "FAILED: " starts
  int waits;           // pauses before giving up on the server
  bool past_files;     // stopped after the files are installed and the product registered
  bool no_file = false;  // the configuration's file is not there
};

// Runs the installer (install(arguments)) in each situation where it must stop, each
// on a machine of its own, and checks what every host must do: the exit code, the
// reason after "FAILED: ", the pauses and the configuration file. check adds the
// host's own checks of a run; cache is null where there is no configuration.
void expect_stops(
    unsigned long exit_code, const std::function<Install(const std::string&)>& install,
    const std::function<void(const StopCase&, const Install&, const Configuration* cache)>& check);

// How often part occurs in text.
std::size_t occurrences(const std::string& text, const std::string& part);

// The names of the files and folders that match pattern (a path ending "\\*.tmp", say).
std::set<std::string> names_matching(const std::string& pattern);
// The names in the temporary directory that match pattern ("is-*.tmp").
std::set<std::string> temp_entries(const std::string& pattern);
// Those of after that are not in before, each with the files left in it.
std::string left_behind(const std::set<std::string>& before, const std::set<std::string>& after);

// How many processes whose image name starts with prefix are running.
int processes_named(const std::string& prefix);

}  // namespace ulvane::test
