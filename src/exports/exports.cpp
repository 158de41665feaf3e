// The exports: the only code that knows the export ABI (stdcall, ANSI
// pointers, result storage). Everything below it works with std::string.
#include <windows.h>

#include <exception>
#include <new>
#include <string>
#include <type_traits>

#include "common/failure.h"
#include "config/configuration_file.h"
#include "config/registry.h"
#include "exports/boundary.h"
#include "exports/exports.h"
#include "runtime/thread_records.h"
#include "server/com_apartment.h"
#include "server/commands.h"
#include "ulvane.h"

using namespace ulvane;

namespace {

std::string empty_text(std::exception_ptr) {
  return std::string();
}

server::ServerAddress address(const char* host, const char* port) {
  return {text_argument(host), text_argument(port)};
}

}  // namespace

extern "C" {

// Each export starts its trace before anything else, so that its time counts the call's work.

int __stdcall UpdateCpf(const char* cpf_path) {
  CallTrace trace("UpdateCpf", {cpf_path});
  return trace.returned(value_or(0, trace, [&] {
    config::update_cpf(text_argument(cpf_path));
    return 1;
  }));
}

int __stdcall GetCachePort(const char* configuration) {
  CallTrace trace("GetCachePort", {configuration});
  return trace.returned(
      value_or(-1, trace, [&] { return config::cache_port(text_argument(configuration)); }));
}

int __stdcall LoadRtn(const char* file_path, const char* host, const char* port, const char* name_space,
                      const char* routine) {
  CallTrace trace("LoadRtn", {file_path, host, port, name_space, routine});
  ComApartment apartment;
  return trace.returned(value_or(0, trace, [&] {
    server::load_routine(text_argument(file_path), address(host, port), text_argument(name_space),
                         text_argument(routine), trace.server_errors());
    return 1;
  }));
}

const char* __stdcall Call(const char* host, const char* port, const char* name_space,
                           const char* expression) {
  CallTrace trace("Call", {host, port, name_space, expression});
  ComApartment apartment;
  return trace.returned(text_result(
      ResultText::Call, trace,
      [&] {
        return server::call_expression(address(host, port), text_argument(name_space),
                                       text_argument(expression), trace.server_errors());
      },
      failure_message));
}

int __stdcall LoadFile(const char* host, const char* port, const char* file_path) {
  CallTrace trace("LoadFile", {host, port, file_path});
  ComApartment apartment;
  return trace.returned(value_or(0, trace, [&] {
    server::load_file(address(host, port), text_argument(file_path), trace.server_errors());
    return 1;
  }));
}

const char* __stdcall GetCacheConfig() {
  CallTrace trace("GetCacheConfig", {});
  return trace.returned(text_result(
      ResultText::GetCacheConfig, trace, [] { return config::configuration_names(); }, empty_text));
}

const char* __stdcall GetCacheDir(const char* configuration) {
  CallTrace trace("GetCacheDir", {configuration});
  return trace.returned(text_result(
      ResultText::GetCacheDir, trace,
      [&] { return config::configuration_directory(text_argument(configuration)); }, empty_text));
}

const char* __stdcall GetCacheCpf(const char* configuration) {
  CallTrace trace("GetCacheCpf", {configuration});
  return trace.returned(text_result(
      ResultText::GetCacheCpf, trace,
      [&] { return config::configuration_file_path(text_argument(configuration)); }, empty_text));
}

// Exported as "Sleep" (see Ulvane.def).
int __stdcall SleepExport(int milliseconds) {
  CallTrace trace("Sleep", {milliseconds});
  ::Sleep(static_cast<DWORD>(milliseconds));
  return trace.returned(0);
}

// The one export that is no call of its own: it neither traces nor forgets the failure
// it gives.
const char* __stdcall GetLastFailure() {
  return last_failure();
}

}  // extern "C"

// The definitions above must match the types that hosts call them through.
static_assert(std::is_same_v<decltype(&UpdateCpf), UlvaneUpdateCpf>);
static_assert(std::is_same_v<decltype(&GetCachePort), UlvaneGetCachePort>);
static_assert(std::is_same_v<decltype(&LoadRtn), UlvaneLoadRtn>);
static_assert(std::is_same_v<decltype(&Call), UlvaneCall>);
static_assert(std::is_same_v<decltype(&LoadFile), UlvaneLoadFile>);
static_assert(std::is_same_v<decltype(&GetCacheConfig), UlvaneGetCacheConfig>);
static_assert(std::is_same_v<decltype(&GetCacheDir), UlvaneGetCacheDir>);
static_assert(std::is_same_v<decltype(&GetCacheCpf), UlvaneGetCacheCpf>);
static_assert(std::is_same_v<decltype(&SleepExport), UlvaneSleep>);
static_assert(std::is_same_v<decltype(&GetLastFailure), UlvaneGetLastFailure>);
