// ulvane-call: loads Ulvane.dll as an installer does and calls one export by name,
// or checks a machine where an install fails. Scripts rely on its exit status:
// 0 done, 1 the export returned its failure value (or Call's answer differed from
// --expect, or a doctor check failed), 2 a usage error or a DLL that does not load.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/owner.h"
#include "common/system_message.h"
#include "trace/trace_variables.h"
#include "doctor.h"
#include "ulvane.h"

namespace {

constexpr int kFailureValue = 1;
constexpr int kUsageError = 2;
constexpr const char* kNull = "--null";
constexpr const char* kExpect = "--expect";

using Args = std::vector<const char*>;

struct Outcome {
  std::string text;
  bool failed = false;  // the export returned its failure value
};

struct Export {
  const char* name;
  const char* arguments;
  std::size_t arity;
  const char* failure;  // what the export returns on failure, as the usage explains it; null: none
  Outcome (*call)(const UlvaneApi& api, const Args& args);
};

const char* text(const char* arg) {
  return std::string(arg) == kNull ? nullptr : arg;
}

int integer(const char* arg) {
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(arg, &end, 0);
  if (*arg == '\0' || *end != '\0') {
    std::fprintf(stderr, "ulvane-call: '%s' is not an integer\n", arg);
    std::exit(kUsageError);
  }
  // Taken silently, a number past the export's int would become another number.
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) {
    std::fprintf(stderr, "ulvane-call: '%s' is out of range (%d to %d)\n", arg, INT_MIN, INT_MAX);
    std::exit(kUsageError);
  }
  return static_cast<int>(value);
}

Outcome number(int value, std::optional<int> failure_value = std::nullopt) {
  return {std::to_string(value), failure_value == value};
}

Outcome answer(const char* value) {
  return {value};
}

const Export kExports[] = {
    {"UpdateCpf", "CPF_PATH", 1, "0",
     [](const UlvaneApi& api, const Args& a) { return number(api.UpdateCpf(text(a[0])), 0); }},
    {"GetCachePort", "CONFIG", 1, "-1",
     [](const UlvaneApi& api, const Args& a) { return number(api.GetCachePort(text(a[0])), -1); }},
    {"GetCacheCpf", "CONFIG", 1, nullptr,
     [](const UlvaneApi& api, const Args& a) { return answer(api.GetCacheCpf(text(a[0]))); }},
    {"GetCacheDir", "CONFIG", 1, nullptr,
     [](const UlvaneApi& api, const Args& a) { return answer(api.GetCacheDir(text(a[0]))); }},
    {"LoadRtn", "FILE HOST PORT NAMESPACE ROUTINE", 5, "0",
     [](const UlvaneApi& api, const Args& a) {
       return number(api.LoadRtn(text(a[0]), text(a[1]), text(a[2]), text(a[3]), text(a[4])), 0);
     }},
    {"Sleep", "MILLISECONDS", 1, nullptr,
     [](const UlvaneApi& api, const Args& a) { return number(api.Sleep(integer(a[0]))); }},
    {"GetCacheConfig", "", 0, nullptr,
     [](const UlvaneApi& api, const Args&) { return answer(api.GetCacheConfig()); }},
    {"Call", "[--expect TEXT] HOST PORT NAMESPACE EXPRESSION", 4, nullptr,
     [](const UlvaneApi& api, const Args& a) {
       return answer(api.Call(text(a[0]), text(a[1]), text(a[2]), text(a[3])));
     }},
    {"LoadFile", "HOST PORT FILE", 3, "0",
     [](const UlvaneApi& api, const Args& a) {
       return number(api.LoadFile(text(a[0]), text(a[1]), text(a[2])), 0);
     }},
};

void print_usage(FILE* to) {
  std::fprintf(to,
               "usage: ulvane-call.exe [--dll PATH] [--trace FILE] EXPORT [ARG...]\n"
               "       ulvane-call.exe [--dll PATH] [--trace FILE] doctor [--host HOST] [--port N]\n"
               "                       [CONFIG]\n"
               "       ulvane-call.exe --help | -h | --version\n"
               "Loads Ulvane.dll (--dll PATH, or else the one beside this program), calls one\n"
               "export with the arguments and prints its result verbatim, then a newline.\n"
               "doctor checks the machine instead, one line per check: the configuration\n"
               "CONFIG (or else the first), and the server at HOST (127.0.0.1) on port N (the\n"
               "configuration's DefaultPort).\n"
               "\n"
               "exports and their arguments:\n");
  for (const Export& e : kExports) {
    std::string line = std::string("  ") + e.name;
    if (*e.arguments) line.append(" ").append(e.arguments);
    if (e.failure) line.resize(std::max<std::size_t>(line.size() + 1, 46), ' ');
    if (e.failure) line.append("exit 1 when it returns ").append(e.failure);
    std::fprintf(to, "%s\n", line.c_str());
  }
  std::fprintf(to,
               "\n"
               "Every argument is text except Sleep's. In place of any text argument, --null\n"
               "passes a null pointer (GetCacheDir --null). Call --expect TEXT exits with 1\n"
               "when the answer is not exactly TEXT: Call returns a failure's message where\n"
               "the value would be.\n"
               "\n"
               "When the call failed, the reason (the DLL's GetLastFailure) goes to stderr, for\n"
               "the text exports too: GetCacheDir of an unknown configuration prints the\n"
               "empty text, exits 0 and says why on stderr. An error the server reports for\n"
               "a line it ran (Call of 1/0, say) is no failure of the call: Call then prints\n"
               "the empty text and exits 0, and only a trace shows the server's error.\n"
               "\n"
               "--trace FILE makes the DLL append one line per export call to FILE: the\n"
               "export, its arguments, its result, how long it took and why it failed (it\n"
               "sets ULVANE_TRACE=FILE for this program). A trace holds the arguments\n"
               "verbatim, and an expression passed to Call can carry a password: the file is\n"
               "sensitive. It is meant for diagnosing a failed install; never leave it on by\n"
               "default in a shipped installer. With ULVANE_TRACE_ARGS=0 set, every text\n"
               "argument and result is written as its length only.\n"
               "\n"
               "exit status: 0 done; 1 the export returned its failure value, Call's answer\n"
               "differed from --expect, or a doctor check failed; 2 a usage error or a DLL\n"
               "that does not load.\n");
}

int usage(const std::string& problem) {
  std::fprintf(stderr, "ulvane-call: %s\n", problem.c_str());
  print_usage(stderr);
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

// The file named, by its full path: LoadLibrary would take a relative name through
// the DLL search order and could load another Ulvane.dll than the one named.
std::optional<std::string> full_path(const char* path) {
  const DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);
  if (size == 0) return std::nullopt;
  std::string full(size, '\0');
  const DWORD length = GetFullPathNameA(path, size, full.data(), nullptr);
  if (length == 0 || length >= size) return std::nullopt;
  full.resize(length);
  return full;
}

// Freed on every return, early ones included.
ulvane::Module load_library(const std::string& dll_path) {
  ulvane::Module dll(LoadLibraryA(dll_path.c_str()));
  if (!dll)
    std::fprintf(stderr, "ulvane-call: cannot load '%s': %s\n", dll_path.c_str(),
                 ulvane::system_reason(GetLastError()).c_str());
  return dll;
}

// A TCP port: decimal digits only, 1 to 65535.
std::optional<int> port_number(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int port = std::stoi(text);
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

int doctor(const std::string& dll_path, Args args) {
  ulvane::call::ServerAddress address;
  while (!args.empty() && (std::string(args[0]) == "--host" || std::string(args[0]) == "--port")) {
    const std::string option = args[0];
    if (option == "--host") {
      if (args.size() < 2 || *args[1] == '\0') return usage("--host needs a host name or address");
      address.host = args[1];
    } else {
      address.port = args.size() < 2 ? std::nullopt : port_number(args[1]);
      if (!address.port)
        return usage("--port needs a port number from 1 to 65535" +
                     (args.size() < 2 ? std::string() : ", not '" + std::string(args[1]) + "'"));
    }
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() > 1) {
    std::fprintf(stderr, "ulvane-call: doctor takes 0 or 1 argument(s) ([CONFIG]), %u given\n",
                 unsigned(args.size()));
    return kUsageError;
  }
  ulvane::Module dll = load_library(dll_path);
  if (!dll) return kUsageError;
  UlvaneApi api;
  if (ulvane_resolve(dll.get(), &api) != ULVANE_EXPORT_COUNT) {
    std::fprintf(stderr, "ulvane-call: '%s' lacks some of the exports\n", dll_path.c_str());
    return kUsageError;
  }
  return ulvane::call::run_doctor(dll.get(), api, args.empty() ? nullptr : args[0], address);
}

}  // namespace

int main(int argc, char** argv) {
  Args args(argv + 1, argv + argc);
  std::string dll_path = default_dll_path();
  while (!args.empty() && (std::string(args[0]) == "--dll" || std::string(args[0]) == "--trace")) {
    const std::string option = args[0];
    if (option == "--dll") {
      if (args.size() < 2) return usage("--dll needs a path");
      const std::optional<std::string> full = full_path(args[1]);
      if (!full) return usage("--dll needs a path");
      dll_path = *full;
    } else {
      // An empty value would turn the trace off, not write it anywhere.
      if (args.size() < 2 || *args[1] == '\0') return usage("--trace needs a file");
      SetEnvironmentVariableA(ulvane::kTraceVariable, args[1]);
    }
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return usage("name an export, or doctor");

  const std::string name = args[0];
  args.erase(args.begin());
  if (name == "--help" || name == "-h") {
    print_usage(stdout);
    return 0;
  }
  if (name == "--version") {
    std::printf("ulvane-call %s\n", ULVANE_VERSION);
    return 0;
  }
  if (name == "doctor") return doctor(dll_path, args);
  const Export* chosen = nullptr;
  for (const Export& e : kExports)
    if (name == e.name) chosen = &e;
  if (!chosen) return usage("unknown export '" + name + "'");
  std::optional<std::string> expected;
  if (!args.empty() && std::string(args[0]) == kExpect) {
    if (name != "Call") return usage(std::string(kExpect) + " is for Call only");
    if (args.size() < 2) return usage(std::string(kExpect) + " needs the answer expected");
    expected = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
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
  Outcome outcome = chosen->call(api, args);
  // Read before anything else can call the DLL on this thread.
  const std::string reason = api.GetLastFailure ? api.GetLastFailure() : "";
  std::fwrite(outcome.text.data(), 1, outcome.text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (!reason.empty()) std::fprintf(stderr, "ulvane-call: %s failed: %s\n", chosen->name, reason.c_str());
  if (expected && outcome.text != *expected) {
    std::fprintf(stderr, "ulvane-call: Call answered something other than '%s'\n", expected->c_str());
    return kFailureValue;
  }
  return outcome.failed ? kFailureValue : 0;
}
