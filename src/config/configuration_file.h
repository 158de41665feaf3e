// The configuration-file commands: the server's port, and registering the product.
#pragma once

#include <cstdint>
#include <string>

namespace ulvane::config {

// The configuration's "DefaultPort" from its configuration file. A Failure saying why
// when there is no number to read (no file recorded, none there, no key, no integer).
std::int32_t cache_port(const std::string& configuration);

// Makes sure the file names the product's namespace and web application: rewrites
// the last entry for each, or adds one under the next free number. A Failure stops
// it at once; an entry already written stays written.
void update_cpf(const std::string& path);

}  // namespace ulvane::config
