// The registry record of installed server configurations (read-only).
#pragma once

#include <string>

namespace ulvane::config {

// The key of the local-machine hive that records the installed configurations, one
// subkey each.
inline constexpr char kConfigurationsKey[] = "Software\\InterSystems\\Cache\\Configurations";

// Each answer comes from one registry view: the 32-bit view where it has the
// configurations (or the configuration), else the 64-bit view; a key that refuses
// read access is not looked for elsewhere. Where there is no answer, a Failure says
// why: nothing recorded, a key or value missing, a key that refuses access.

// Every configuration name, in the registry's order, joined by CR LF.
std::string configuration_names();

// A configuration's installation directory and configuration file path: the default
// values of its "Directory" and "Properties" keys (a value stored empty is the empty
// text). A Failure also when the value is not a string or cannot be read.
std::string configuration_directory(const std::string& name);
std::string configuration_file_path(const std::string& name);

}  // namespace ulvane::config
