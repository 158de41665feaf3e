// ulvane-call: loads Ulvane.dll as an installer does and calls one export by name,
// or checks a machine where an install fails.
//
//   ulvane-call.exe [--dll PATH] EXPORT [ARG...]
//   ulvane-call.exe [--dll PATH] doctor [CONFIG]
//   ulvane-call.exe --version
//
// Text arguments are passed as given (ANSI); "--null" passes a null pointer. The
// result is printed verbatim, then a newline. Usage errors exit with 2; doctor
// exits with 1 when a check failed.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/owner.h"
#include "doctor.h"
#include "ulvane.h"

namespace {

constexpr int kUsageError = 2;
constexpr const char* kNull = "--null";

using Args = std::vector<const char*>;

struct Export {
  const char* name;
  const char* arguments;
  std::size_t arity;
  std::string (*call)(const UlvaneApi& api, const Args& args);
};

const char* text(const char* arg) {
  return std::string(arg) == kNull ? nullptr : arg;
}

int integer(const char* arg) {
  char* end = nullptr;
  long value = std::strtol(arg, &end, 0);
  if (*arg == '\0' || *end != '\0') {
    std::fprintf(stderr, "ulvane-call: '%s' is not an integer\n", arg);
    std::exit(kUsageError);
  }
  return static_cast<int>(value);
}

std::string number(int value) {
  return std::to_string(value);
}

const Export kExports[] = {
    {"UpdateCpf", "CPF_PATH", 1,
     [](const UlvaneApi& api, const Args& a) { return number(api.UpdateCpf(text(a[0]))); }},
    {"GetCachePort", "CONFIG", 1,
     [](const UlvaneApi& api, const Args& a) { return number(api.GetCachePort(text(a[0]))); }},
    {"GetCacheCpf", "CONFIG", 1,
     [](const UlvaneApi& api, const Args& a) { return std::string(api.GetCacheCpf(text(a[0]))); }},
    {"GetCacheDir", "CONFIG", 1,
     [](const UlvaneApi& api, const Args& a) { return std::string(api.GetCacheDir(text(a[0]))); }},
    {"LoadRtn", "FILE HOST PORT NAMESPACE ROUTINE", 5,
     [](const UlvaneApi& api, const Args& a) {
       return number(api.LoadRtn(text(a[0]), text(a[1]), text(a[2]), text(a[3]), text(a[4])));
     }},
    {"Sleep", "MILLISECONDS", 1,
     [](const UlvaneApi& api, const Args& a) { return number(api.Sleep(integer(a[0]))); }},
    {"GetCacheConfig", "", 0,
     [](const UlvaneApi& api, const Args&) { return std::string(api.GetCacheConfig()); }},
    {"Call", "HOST PORT NAMESPACE EXPRESSION", 4,
     [](const UlvaneApi& api, const Args& a) {
       return std::string(api.Call(text(a[0]), text(a[1]), text(a[2]), text(a[3])));
     }},
    {"LoadFile", "HOST PORT FILE", 3,
     [](const UlvaneApi& api, const Args& a) {
       return number(api.LoadFile(text(a[0]), text(a[1]), text(a[2])));
     }},
};

int usage(const char* problem) {
  if (problem) std::fprintf(stderr, "ulvane-call: %s\n", problem);
  std::fprintf(stderr,
               "usage: ulvane-call.exe [--dll PATH] EXPORT [ARG...]\n"
               "       ulvane-call.exe [--dll PATH] doctor [CONFIG]\n"
               "       ulvane-call.exe --version\nexports:\n");
  for (const Export& e : kExports) std::fprintf(stderr, "  %s %s\n", e.name, e.arguments);
  return kUsageError;
}

// The DLL beside this program, as an installer keeps it beside its own files; in the
// unpacked release, where this program sits in bin, the one in the folder above.
std::string default_dll_path() {
  char path[MAX_PATH] = "";
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string self(path, length);
  const std::string folder = self.substr(0, self.find_last_of("\\/") + 1);
  const std::string beside = folder + "Ulvane.dll";
  const std::size_t name_at = folder.find_last_of("\\/", folder.size() - 2) + 1;
  if (GetFileAttributesA(beside.c_str()) != INVALID_FILE_ATTRIBUTES ||
      CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, folder.c_str() + name_at, -1, "bin\\", -1) !=
          CSTR_EQUAL)
    return beside;
  const std::string above = folder.substr(0, name_at) + "Ulvane.dll";
  return GetFileAttributesA(above.c_str()) != INVALID_FILE_ATTRIBUTES ? above : beside;
}

// Freed on every return, early ones included.
ulvane::Module load_library(const std::string& dll_path) {
  ulvane::Module dll(LoadLibraryA(dll_path.c_str()));
  if (!dll)
    std::fprintf(stderr, "ulvane-call: cannot load '%s': %s\n", dll_path.c_str(),
                 ulvane::call::error_text(GetLastError()).c_str());
  return dll;
}

int doctor(const std::string& dll_path, const Args& args) {
  if (args.size() > 1) {
    std::fprintf(stderr, "ulvane-call: doctor takes 0 or 1 argument(s) ([CONFIG]), %u given\n",
                 unsigned(args.size()));
    return kUsageError;
  }
  ulvane::Module dll = load_library(dll_path);
  if (!dll) return kUsageError;
  UlvaneApi api;
  if (ulvane_resolve(dll.get(), &api) != 9) {
    std::fprintf(stderr, "ulvane-call: '%s' lacks some of the nine exports\n", dll_path.c_str());
    return kUsageError;
  }
  return ulvane::call::run_doctor(dll.get(), api, args.empty() ? nullptr : args[0]);
}

}  // namespace

int main(int argc, char** argv) {
  Args args(argv + 1, argv + argc);
  if (args.size() == 1 && std::string(args[0]) == "--version") {
    std::printf("ulvane-call %s\n", ULVANE_VERSION);
    return 0;
  }
  std::string dll_path = default_dll_path();
  if (!args.empty() && std::string(args[0]) == "--dll") {
    if (args.size() < 2) return usage("--dll needs a path");
    dll_path = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return usage("no export named");

  const std::string name = args[0];
  args.erase(args.begin());
  if (name == "doctor") return doctor(dll_path, args);
  const Export* chosen = nullptr;
  for (const Export& e : kExports)
    if (name == e.name) chosen = &e;
  if (!chosen) return usage(("unknown export '" + name + "'").c_str());
  if (args.size() != chosen->arity) {
    std::fprintf(stderr, "ulvane-call: %s takes %u argument(s) (%s), %u given\n", chosen->name,
                 unsigned(chosen->arity), chosen->arguments, unsigned(args.size()));
    return kUsageError;
  }

  ulvane::Module dll = load_library(dll_path);
  if (!dll) return kUsageError;
  UlvaneApi api;
  ulvane_resolve(dll.get(), &api);
  if (!GetProcAddress(dll.get(), chosen->name)) {
    std::fprintf(stderr, "ulvane-call: '%s' does not export %s\n", dll_path.c_str(), chosen->name);
    return kUsageError;
  }

  // Binary output: the result is printed byte for byte, CR LF included.
  _setmode(_fileno(stdout), _O_BINARY);
  std::string result = chosen->call(api, args);
  std::fwrite(result.data(), 1, result.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 0;
}
