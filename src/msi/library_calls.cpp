#include "msi/library_calls.h"

#include <exception>

#include "common/failure.h"
#include "config/configuration_file.h"
#include "config/registry.h"
#include "server/com_apartment.h"
#include "server/commands.h"
#include "trace/trace.h"

namespace ulvane::msi {

namespace {

int traced_result(int result) {
  return result;
}
const char* traced_result(const std::string& result) {
  return result.c_str();
}

// Runs work under trace; on failure the line records what the export returns then,
// and the failure goes on.
// Runs work under trace; on failure the line records failed_result, what the export
// returns then, and the failure goes on.
template <class Work, class Failed>
auto traced(CallTrace& trace, Work&& work, Failed failed_result) {
  try {
    auto result = work();
    trace.returned(traced_result(result));
    return result;
  } catch (...) {
    trace.failed(std::current_exception());
    trace.returned(failed_result);
    throw;
  }
}

}  // namespace

std::string configuration_names() {
  CallTrace trace("GetCacheConfig", {});
  return traced(trace, [] { return config::configuration_names(); }, "");
}

std::string configuration_directory(const std::string& configuration) {
  CallTrace trace("GetCacheDir", {configuration.c_str()});
  return traced(trace, [&] { return config::configuration_directory(configuration); }, "");
}

std::string configuration_file_path(const std::string& configuration) {
  CallTrace trace("GetCacheCpf", {configuration.c_str()});
  return traced(trace, [&] { return config::configuration_file_path(configuration); }, "");
}

std::int32_t cache_port(const std::string& configuration) {
  CallTrace trace("GetCachePort", {configuration.c_str()});
  return traced(trace, [&] { return static_cast<int>(config::cache_port(configuration)); }, -1);
}

void update_cpf(const std::string& path) {
  CallTrace trace("UpdateCpf", {path.c_str()});
  traced(
      trace,
      [&] {
        config::update_cpf(path);
        return 1;
      },
      0);
}

void load_routine(const std::string& file_path, const server::ServerAddress& address,
                  const std::string& name_space, const std::string& routine) {
  CallTrace trace("LoadRtn", {file_path.c_str(), address.host.c_str(), address.port.c_str(),
                              name_space.c_str(), routine.c_str()});
  ComApartment apartment;
  traced(
      trace,
      [&] {
        server::load_routine(file_path, address, name_space, routine, trace.server_errors());
        return 1;
      },
      0);
}

void load_file(const server::ServerAddress& address, const std::string& file_path) {
  CallTrace trace("LoadFile", {address.host.c_str(), address.port.c_str(), file_path.c_str()});
  ComApartment apartment;
  traced(
      trace,
      [&] {
        server::load_file(address, file_path, trace.server_errors());
        return 1;
      },
      0);
}

std::string call_expression(const server::ServerAddress& address, const std::string& name_space,
                            const std::string& expression) {
  CallTrace trace("Call", {address.host.c_str(), address.port.c_str(), name_space.c_str(), expression.c_str()});
  ComApartment apartment;
  try {
    std::string answer = server::call_expression(address, name_space, expression, trace.server_errors());
    trace.returned(answer.c_str());
    return answer;
  } catch (...) {
    // Call gives its failure's message as its answer.
    const std::exception_ptr failure = std::current_exception();
    trace.failed(failure);
    try {
      trace.returned(failure_message(failure).c_str());
    } catch (...) {
      trace.returned("");
    }
    throw;
  }
}

}  // namespace ulvane::msi
