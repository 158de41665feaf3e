// standin-server.exe: the stand-in database server, run under Wine by the tests
// or by hand. Prints the port it listens on as its first line of output.
#include <climits>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "server.h"

using namespace standin;

namespace {

constexpr const char* kUsage =
    "usage: standin-server [--port N] [--store DIR] [--journal FILE] [--namespaces A,B,...]\n"
    "                      [--lifetime SECONDS] [--parent PID] [--drop-on TEXT]\n"
    "  --port        loopback TCP port; 0 (the default) picks a free one\n"
    "  --store       directory of saved routines (default .\\store)\n"
    "  --journal     file every received line is appended to (default .\\journal.txt)\n"
    "  --namespaces  the namespaces it knows; connections start in the first (default USER,%SYS,ULV)\n"
    "  --lifetime    stop by itself after this many seconds; 0 (the default) waits for a stop request\n"
    "  --parent      stop by itself when the process with this id ends\n"
    "  --drop-on     a line of code that holds TEXT is journalled but not run; the server sends\n"
    "                the start of an answer (\"ok \", no line end) and closes that connection\n";

struct Options {
  unsigned long port = 0;
  std::wstring store = L".\\store";
  std::wstring journal = L".\\journal.txt";
  std::vector<std::string> namespaces{"USER", "%SYS", "ULV"};
  unsigned long lifetime = 0;
  unsigned long parent = 0;
  std::string drop_on;
};

class ProcessHandle {
public:
  explicit ProcessHandle(HANDLE handle) : handle_(handle) {}
  ~ProcessHandle() {
    if (handle_) CloseHandle(handle_);
  }
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;
  HANDLE get() const { return handle_; }

private:
  HANDLE handle_;
};

// Creates a directory and any missing parents; the store and journal may name new places.
void make_directories(const std::wstring& path) {
  for (size_t at = path.find_first_of(L"\\/", 1); at != std::wstring::npos;
       at = path.find_first_of(L"\\/", at + 1))
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  CreateDirectoryW(path.c_str(), nullptr);
}

std::wstring parent_directory(const std::wstring& path) {
  size_t at = path.find_last_of(L"\\/");
  return at == std::wstring::npos ? L"." : path.substr(0, at);
}

bool parse_number(const wchar_t* text, unsigned long limit, unsigned long& value) {
  wchar_t* end = nullptr;
  value = std::wcstoul(text, &end, 10);
  return *text && !*end && value <= limit;
}

std::vector<std::string> split_names(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (comma > start) names.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return names;
}

bool parse_options(int argc, wchar_t** argv, Options& options) {
  for (int i = 1; i < argc; i += 2) {
    std::wstring flag = argv[i];
    if (i + 1 >= argc) return false;
    const wchar_t* value = argv[i + 1];
    if (flag == L"--port") {
      if (!parse_number(value, 65535, options.port)) return false;
    } else if (flag == L"--store") {
      options.store = value;
    } else if (flag == L"--journal") {
      options.journal = value;
    } else if (flag == L"--namespaces") {
      options.namespaces = split_names(narrow(value));
      if (options.namespaces.empty()) return false;
    } else if (flag == L"--lifetime") {
      if (!parse_number(value, 10UL * 365 * 24 * 3600, options.lifetime)) return false;
    } else if (flag == L"--parent") {
      if (!parse_number(value, ULONG_MAX, options.parent) || options.parent == 0) return false;
    } else if (flag == L"--drop-on") {
      options.drop_on = narrow(value);
      if (options.drop_on.empty()) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // A server started by a test must not outlive it, even when the test dies: under Wine
  // it holds the test's Unix standard error, and a test runner would wait on that.
  ProcessHandle parent(options.parent ? OpenProcess(SYNCHRONIZE, FALSE, options.parent) : nullptr);
  if (options.parent && !parent.get()) {
    std::fprintf(stderr, "standin-server: process %lu is not running\n", options.parent);
    return 1;
  }
  WinsockSession winsock;
  std::string error;
  Socket listener =
      winsock.ready() ? listen_on_loopback(static_cast<unsigned short>(options.port), error) : Socket();
  if (!listener) {
    std::fprintf(stderr, "standin-server: cannot listen on 127.0.0.1 port %lu: %s\n", options.port,
                 error.c_str());
    return 1;
  }
  make_directories(options.store);
  make_directories(parent_directory(options.journal));
  Journal journal(options.journal);
  if (!journal.is_open()) {
    std::fprintf(stderr, "standin-server: cannot open the journal %s\n", narrow(options.journal).c_str());
    return 1;
  }
  RoutineStore store(options.store);
  unsigned short port = bound_port(listener);
  std::printf("%u\n", port);
  std::fflush(stdout);

  Server server(std::move(listener), ServerSetup{options.namespaces, &store, &journal, options.drop_on});
  server.serve(options.lifetime, parent.get());
  std::printf("stopped\n");
  return 0;
}
