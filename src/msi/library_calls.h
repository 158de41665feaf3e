// The library's work as the custom actions do it: each call as its export would make
// it, with the same trace line (export name, arguments, result and failure), but a
// failure goes on to the action as the Failure it is.
#pragma once

#include <cstdint>
#include <string>

#include "server/server_connection.h"

namespace ulvane::msi {

std::string configuration_names();
std::string configuration_directory(const std::string& configuration);
std::string configuration_file_path(const std::string& configuration);
std::int32_t cache_port(const std::string& configuration);
void update_cpf(const std::string& path);
void load_routine(const std::string& file_path, const server::ServerAddress& address,
                  const std::string& name_space, const std::string& routine);
void load_file(const server::ServerAddress& address, const std::string& file_path);
std::string call_expression(const server::ServerAddress& address, const std::string& name_space,
                            const std::string& expression);

}  // namespace ulvane::msi
