// The three server commands: each opens a connection, sends its lines and closes it.
#pragma once

#include <string>

#include "server/server_connection.h"

namespace ulvane::server {

// With errors given, each also collects what the server reports for its lines.

// Loads the routine file into "%SYS" as QUMAINST.
void load_file(const ServerAddress& address, const std::string& file_path, ServerErrors* errors = nullptr);

// Loads the routine file into the namespace under the routine name.
void load_routine(const std::string& file_path, const ServerAddress& address, const std::string& name_space,
                  const std::string& routine, ServerErrors* errors = nullptr);

// The value of one server expression in the namespace, as text.
std::string call_expression(const ServerAddress& address, const std::string& name_space,
                            const std::string& expression, ServerErrors* errors = nullptr);

}  // namespace ulvane::server
