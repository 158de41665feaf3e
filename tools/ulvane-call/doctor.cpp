#include "doctor.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "common/environment.h"
#include "common/owner.h"
#include "common/system_message.h"
#include "common/text.h"
#include "config/registry.h"
#include "trace/trace_file.h"
#include "trace/trace_variables.h"
#include "server/com_apartment.h"
#include "server/control_ids.h"
#include "server_file.h"

namespace ulvane::call {
namespace {

// The DLL creates the control in the registry view of its own architecture, which is
// this tool's: a 32-bit DLL needs a 32-bit control, the 64-bit twin a 64-bit one.
#ifdef _WIN64
constexpr REGSAM kControlView = KEY_WOW64_64KEY;
constexpr const char* kControlViewName = "64-bit";
#else
constexpr REGSAM kControlView = KEY_WOW64_32KEY;
constexpr const char* kControlViewName = "32-bit";
#endif
constexpr const char* kServerNamespace = "%SYS";
// Call returns a failure's message in place of a value, so the version comes back
// marked: no message can pass for an answer.
constexpr const char* kVersionExpression = "\"ZV:\"_$ZV";
constexpr const char* kVersionMark = "ZV:";

class Report {
public:
  void ok(const char* check, const std::string& detail = "") {
    std::string line = check;
    line.append(": ok");
    if (!detail.empty()) line.append(" (").append(detail).append(")");
    std::printf("%s\n", line.c_str());
  }
  void failed(const char* check, const std::string& reason) {
    std::printf("%s: FAILED: %s\n", check, reason.c_str());
    failures_ = true;
  }
  void not_checked(const char* check, const char* why) { std::printf("%s: not checked (%s)\n", check, why); }
  // What the reader should know, which passes or fails nothing.
  void note(const char* topic, const std::string& state) { std::printf("%s: %s\n", topic, state.c_str()); }
  int exit_code() const { return failures_ ? 1 : 0; }

private:
  bool failures_ = false;
};

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; !text.empty() && start <= text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Opens the file with the access the check names, sharing everything, and closes it
// at once: opening changes nothing, not even the file's times.
DWORD try_open(const std::string& path, DWORD access) {
  FileHandle file(CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file ? ERROR_SUCCESS : GetLastError();
}

void check_file(Report& report, const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    report.failed("configuration file exists", system_reason(GetLastError()));
    report.not_checked("configuration file readable", "no file");
    report.not_checked("configuration file writable", "no file");
    return;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    report.failed("configuration file exists", "it is a directory");
    report.not_checked("configuration file readable", "no file");
    report.not_checked("configuration file writable", "no file");
    return;
  }
  report.ok("configuration file exists");
  if (DWORD error = try_open(path, GENERIC_READ))
    report.failed("configuration file readable", system_reason(error));
  else
    report.ok("configuration file readable");
  if (attributes & FILE_ATTRIBUTE_READONLY)
    report.failed("configuration file writable", "the file is read-only");
  else if (DWORD error = try_open(path, GENERIC_WRITE))
    report.failed("configuration file writable", system_reason(error));
  else
    report.ok("configuration file writable");
}

// The server the control's class is registered with, in the DLL's view: which key
// names it (empty when it is not registered there) and its value.
struct RegisteredServer {
  std::string key;
  std::string value;
};

// The control's class id as the registry spells it, from the library's own.
std::string control_class_id() {
  wchar_t text[40] = L"";
  const int length = StringFromGUID2(server::kControlClass, text, 40);
  // Braces, hexadecimal digits and hyphens: each character is its own ANSI byte.
  return std::string(text, text + (length > 0 ? length - 1 : 0));
}

RegisteredServer registered_control() {
  for (const char* server : {"InprocServer32", "LocalServer32"}) {
    std::string path = "CLSID\\";
    path.append(control_class_id()).append("\\").append(server);
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | kControlView, &opened) != ERROR_SUCCESS)
      continue;
    RegistryKey key(opened);
    char value[MAX_PATH * 2] = "";
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
      continue;
    if (type == REG_EXPAND_SZ) {
      char expanded[MAX_PATH * 2] = "";
      if (ExpandEnvironmentStringsA(value, expanded, sizeof expanded)) return {server, expanded};
    }
    return {server, value};
  }
  return {};
}

// Whether the control can be made at all: without it no server can answer.
bool check_control(Report& report) {
  const RegisteredServer registered = registered_control();
  const std::string& server = registered.value;
  if (registered.key.empty()) {
    std::string reason = "the control is not registered (class ";
    report.failed("control registered", reason.append(control_class_id())
                                            .append(" has no InprocServer32 or LocalServer32 in the ")
                                            .append(kControlViewName)
                                            .append(" registry)"));
    return false;
  }
  // A bare file name is found on the search path; only a full path can be checked here.
  // An in-process server's value is a path; a local server's is a command line.
  std::string file = server;
  if (registered.key == "LocalServer32")
    file = local_server_file(server);
  else if (!file.empty() && file.front() == '"')
    file = file.substr(1, file.find('"', 1) - 1);
  if (file.find('\\') != std::string::npos && GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::string reason = "registered as ";
    report.failed("control registered", reason.append(server).append(", which does not exist"));
    return true;
  }
  report.ok("control registered", server);
  return true;
}

// Whether COM says the control's class is not registered, asked as the library asks
// (the same class, in the same contexts, from the same process): by COM's code, not by
// the text of a message.
bool class_not_registered() {
  ComApartment apartment;
  Microsoft::WRL::ComPtr<IUnknown> control;
  return CoCreateInstance(server::kControlClass, nullptr, server::kControlContext, IID_IUnknown,
                          reinterpret_cast<void**>(control.GetAddressOf())) == REGDB_E_CLASSNOTREG;
}

// Which file was loaded and which version it is: the first thing to know about a
// machine where an install fails.
void check_library(Report& report, HMODULE dll) {
  char buffer[MAX_PATH * 2] = "";
  const std::string path(buffer, GetModuleFileNameA(dll, buffer, sizeof buffer));
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  std::vector<char> block(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
      !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof *fixed) {
    report.failed("library", path + " has no version resource");
    return;
  }
  char version[64];
  std::snprintf(version, sizeof version, "%u.%u.%u.%u", unsigned(HIWORD(fixed->dwFileVersionMS)),
                unsigned(LOWORD(fixed->dwFileVersionMS)), unsigned(HIWORD(fixed->dwFileVersionLS)),
                unsigned(LOWORD(fixed->dwFileVersionLS)));
  report.ok("library", path + ", version " + version);
}

// Why the DLL drops every line to the file, in a phrase; empty when it writes them.
std::string dropped_because(const TraceFileCheck& check) {
  switch (check.problem) {
    case TraceFileProblem::kNone:
      return std::string();
    case TraceFileProblem::kRelativePath:
      return "it is a relative path, and the library writes only to a full one";
    case TraceFileProblem::kCannotOpen:
      if (check.error == ERROR_PATH_NOT_FOUND) return "its folder does not exist";
      return "it cannot be opened for writing: " + system_reason(check.error);
    case TraceFileProblem::kCannotMake:
      if (check.error == ERROR_PATH_NOT_FOUND) return "its folder does not exist";
      return "it cannot be made in its folder: " + system_reason(check.error);
    case TraceFileProblem::kNotPlainFile:
      return "it is not a plain file (a folder, a device or a reparse point)";
    case TraceFileProblem::kSeveralLinks:
      return "it has more than one name (a hard link)";
    case TraceFileProblem::kForeignOwner:
      return "it is owned by neither this user nor Administrators";
    case TraceFileProblem::kNoHeader:
      return "it does not start with the trace header, so it is not a trace";
    case TraceFileProblem::kCannotLock:
      return "it cannot be locked: " + system_reason(check.error);
  }
  return "unknown";
}

// The file's size, or none when there is no file at path.
std::optional<ULONGLONG> file_size(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return std::nullopt;
  return (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The file's bytes from offset on, read while its writers may go on writing.
std::string bytes_from(const std::wstring& path, ULONGLONG offset) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  std::string bytes;
  if (!file || !SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) return bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
  return bytes;
}

// Whether added is the line of the Sleep(0) this thread just made, after the header
// when the file was new or empty, and nothing else.
bool own_line(const std::string& added, bool new_file) {
  std::vector<std::string> lines = split_lines(added);
  // Each line ends with CR LF, so the last piece is empty.
  if (lines.empty() || !lines.back().empty()) return false;
  lines.pop_back();
  if (new_file && !lines.empty() && lines.front().rfind('#', 0) == 0) lines.erase(lines.begin());
  if (lines.size() != 1) return false;
  std::vector<std::string> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = lines.front().find('\t', start);
    fields.push_back(lines.front().substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  // time, process, thread, export, arguments, result, milliseconds, failure, server
  return fields.size() == 9 && fields[1] == std::to_string(GetCurrentProcessId()) &&
         fields[2] == std::to_string(GetCurrentThreadId()) && fields[3] == "Sleep" && fields[4] == "0" &&
         fields[5] == "0" && fields[7].empty();
}

// Why the line of one traced call of this report's own did not land in file, in a
// phrase; empty when the file grew by exactly that line. The DLL drops a line it cannot
// write, silently: only the file's growth shows it. Why, it finds as the DLL does, by
// the same code.
std::string line_dropped(const UlvaneApi& api, const std::wstring& file) {
  const std::optional<ULONGLONG> before = file_size(file);
  api.Sleep(0);
  const std::optional<ULONGLONG> after = file_size(file);
  const ULONGLONG held = before.value_or(0);
  if (after && *after > held) {
    if (own_line(bytes_from(file, held), held == 0)) return std::string();
    return "the file grew by " + std::to_string(*after - held) + " bytes that are not this report's line";
  }
  const std::string why = dropped_because(check_trace_file(file));
  if (!why.empty()) return why;
  return "this report's line did not land (the file held " + std::to_string(held) +
         " bytes before its call and " + (after ? std::to_string(*after) : std::string("was not there")) +
         " after)";
}

// Whether the DLL traces its calls here, where to, and whether a line lands there.
void report_trace(Report& report, const UlvaneApi& api) {
  const std::wstring file = environment_value(kTraceVariable).value_or(std::wstring());
  if (file.empty()) {
    report.note("trace", "off");
    return;
  }
  std::string state = "on (" + std::string(kTraceVariable) + "=" + to_ansi(file) + "; ";
  const std::optional<std::wstring> arguments = environment_value(kTraceArgumentsVariable);
  if (arguments && *arguments != L"1")
    state.append(kTraceArgumentsVariable)
        .append("=")
        .append(to_ansi(*arguments))
        .append(": texts as their lengths, failure messages in full");
  else
    state.append(
        "every call, this report's own included, is written with its arguments as given: "
        "sensitive, remove the variable when done");
  const std::string dropped = line_dropped(api, file);
  if (!dropped.empty()) state.append("; no line is written: ").append(dropped);
  report.note("trace", state.append(")"));
}

void check_server(Report& report, const UlvaneApi& api, const std::string& host, int port) {
  const std::string port_text = std::to_string(port);
  const std::string answer = api.Call(host.c_str(), port_text.c_str(), kServerNamespace, kVersionExpression);
  if (answer.rfind(kVersionMark, 0) == 0)
    report.ok("server answers", answer.substr(std::string(kVersionMark).size()));
  else if (class_not_registered())
    report.failed("server answers", "the control is not registered (Call answered: " + answer + ")");
  else
    report.failed("server answers", answer.empty() ? "an empty answer" : answer);
}

}  // namespace

int run_doctor(HMODULE dll, const UlvaneApi& api, const char* config, const ServerAddress& address) {
  Report report;
  check_library(report, dll);
  report_trace(report, api);
  const std::vector<std::string> names = split_lines(api.GetCacheConfig());
  if (names.empty()) {
    std::string reason = "none under HKEY_LOCAL_MACHINE\\";
    report.failed("configurations", reason.append(ulvane::config::kConfigurationsKey));
  } else {
    std::string list;
    for (const std::string& name : names) list.append(list.empty() ? "" : ", ").append(name);
    report.ok("configurations", list);
  }

  std::string chosen;
  if (config) {
    for (const std::string& name : names)
      if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), -1, config, -1) == CSTR_EQUAL)
        chosen = name;
    if (chosen.empty()) {
      std::string reason = "'";
      report.failed("configuration", reason.append(config).append("' is not among them"));
    }
  } else if (!names.empty()) {
    chosen = names.front();
  } else {
    report.failed("configuration", "none to choose");
  }

  int port = -1;
  if (!chosen.empty()) {
    report.ok("configuration", chosen);
    const std::string directory = api.GetCacheDir(chosen.c_str());
    DWORD attributes = GetFileAttributesA(directory.c_str());
    if (directory.empty())
      report.failed("directory", "no Directory value");
    else if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      report.failed("directory", directory + " does not exist");
    else
      report.ok("directory", directory);

    const std::string cpf = api.GetCacheCpf(chosen.c_str());
    if (cpf.empty()) {
      report.failed("configuration file", "no Properties value");
    } else {
      report.ok("configuration file", cpf);
      check_file(report, cpf);
    }

    port = api.GetCachePort(chosen.c_str());
    if (port > 0)
      report.ok("port", std::to_string(port));
    else
      report.failed("port", "no usable [Startup] DefaultPort in the configuration file");
  } else {
    report.not_checked("directory, configuration file, port", "no configuration");
  }

  const bool control = check_control(report);
  const int server_port = address.port.value_or(port);
  if (!control)
    report.not_checked("server answers", "the control is not registered");
  else if (server_port > 0)
    check_server(report, api, address.host, server_port);
  else
    report.not_checked("server answers", "no port");
  std::fflush(stdout);
  return report.exit_code();
}

}  // namespace ulvane::call
