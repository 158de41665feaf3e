// What the example installers (NSIS and Inno Setup) are run against: a machine
// with server configurations and their configuration files, the files the examples
// ship, and what a host leaves behind in the temporary directory.
#pragma once
#include <set>
#include <string>
#include <vector>

#include "support/scratch_directory.h"
#include "support/scratch_registry.h"

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

// The lines a clean install into this configuration sends the server, in order
// (the server's journal); check gives the expression that asks for a saved routine.
std::string clean_install_journal(const Configuration& configuration,
                                  std::string (*check)(const std::string& routine));

// The text in double quotes, for a command line.
std::string quoted(const std::string& text);

// The names in the temporary directory that match pattern ("is-*.tmp").
std::set<std::string> temp_entries(const std::string& pattern);
// Those of after that are not in before, each with the files left in it.
std::string left_behind(const std::set<std::string>& before, const std::set<std::string>& after);

// How many processes whose image name starts with prefix are running.
int processes_named(const std::string& prefix);

}  // namespace ulvane::test
