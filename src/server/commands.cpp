#include "server/commands.h"

#include "common/clean_up.h"

namespace ulvane::server {
namespace {

// The lines sent to the server, character for character (two blanks after "ZL").
constexpr const char* kSystemNamespace = "%SYS";
constexpr const char* kNamespaceSwitch = "ZN \"%SYS\"";
constexpr const char* kFileLoadPrefix = "S F=\"";
constexpr const char* kFixedLoadTail = "\" O F U F ZL  ZS QUMAINST C F";
constexpr const char* kVariableLoadMiddle = "\" O F U F ZL  ZS ";
constexpr const char* kVariableLoadEnd = " C F";
constexpr const char* kEvaluationPrefix = "S P1=";

// Opens a connection, does the work and closes the connection on every path; a
// failure to close is the outcome, replacing any earlier failure.
template <class Work>
auto with_connection(const ServerAddress& address, const std::string& name_space, ServerErrors* errors,
                     Work work) {
  ServerConnection connection(address, name_space, errors);
  return then_clean_up([&] { return work(connection); }, [&] { connection.close(); });
}

}  // namespace

// Caller texts go into the lines verbatim, quotes included: the server code is the
// caller's to write, as Call runs any expression by design.
void load_file(const ServerAddress& address, const std::string& file_path, ServerErrors* errors) {
  with_connection(address, kSystemNamespace, errors, [&](ServerConnection& connection) {
    connection.run(kNamespaceSwitch);
    connection.run(std::string(kFileLoadPrefix).append(file_path).append(kFixedLoadTail));
  });
}

void load_routine(const std::string& file_path, const ServerAddress& address, const std::string& name_space,
                  const std::string& routine, ServerErrors* errors) {
  with_connection(address, name_space, errors, [&](ServerConnection& connection) {
    connection.run(std::string(kFileLoadPrefix)
                       .append(file_path)
                       .append(kVariableLoadMiddle)
                       .append(routine)
                       .append(kVariableLoadEnd));
  });
}

std::string call_expression(const ServerAddress& address, const std::string& name_space,
                            const std::string& expression, ServerErrors* errors) {
  return with_connection(address, name_space, errors, [&](ServerConnection& connection) {
    connection.run(std::string(kEvaluationPrefix).append(expression));
    return connection.read_result();
  });
}

}  // namespace ulvane::server
