// The configuration-file commands: the server's port, and registering the product.
#pragma once

#include <cstdint>
#include <string>

namespace ulvane::config {

// The configuration's "DefaultPort" from its configuration file. A Failure saying why
// when there is no number to read (no file recorded, none there, no key, no integer).
std::int32_t cache_port(const std::string& configuration);

// Makes sure the file names the product's namespace and web application: rewrites
// the last entry for each, or adds one under the next free number. The file goes in
// place whole: a failure to write leaves it as it was. A key that cannot be numbered
// stops it with a Failure; an entry already written for the rule before stays written.
void update_cpf(const std::string& path);

}  // namespace ulvane::config
