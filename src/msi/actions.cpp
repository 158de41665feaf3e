// The custom actions, UINT __stdcall Action(MSIHANDLE): the only code that knows the
// installer's calling convention. They make their calls through the library's own
// exports, so that the trace shows them as an installer's calls and the reason for a
// failed one is GetLastFailure's. Each action ends with one line in the log, of what
// it did or why it failed; a failure ends the install (ERROR_INSTALL_FAILURE), and
// nothing escapes.
#include <windows.h>
#include <msi.h>

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "common/failure.h"
#include "exports/exports.h"
#include "msi/action_data.h"
#include "msi/installer_session.h"
#include "msi/trace_switch.h"

using namespace ulvane;
using namespace ulvane::msi;

namespace {

template <class Work>
UINT run_action(MSIHANDLE handle, const char* action, Work&& work) noexcept {
  const InstallerSession session(handle);
  try {
    session.log(std::string(action) + ": " + work(session));
    return ERROR_SUCCESS;
  } catch (...) {
    try {
      session.log(std::string(action) + " failed: " + failure_message(std::current_exception()));
    } catch (...) {
      // No memory left for the line: the installer's own line still names the action.
    }
    return ERROR_INSTALL_FAILURE;
  }
}

// Why the last export call failed, or otherwise when it did not say (a call that gave
// what the action cannot use without failing).
std::string why_last_call(const std::string& otherwise) {
  const std::string why = GetLastFailure();
  return why.empty() ? otherwise : why;
}

// The data of an action: CustomActionData when it runs from the install script; run
// immediate, the property immediate_property, where the action has one.
ActionData action_data(const InstallerSession& session, const char* action, std::initializer_list<KeyRule> keys,
                       const char* immediate_property = nullptr) {
  if (session.deferred())
    return ActionData(std::string(action) + "'s CustomActionData", session.property("CustomActionData"), keys);
  if (!immediate_property)
    throw Failure::format("%s runs only as a deferred action (Execute=\"deferred\"), with its data in "
                          "CustomActionData",
                          action);
  return ActionData(std::string(action) + "'s property " + immediate_property, session.property(immediate_property),
                    keys);
}

// The file to trace the action's calls to: its data's Trace, or for an action run
// immediate the property ULVANE_TRACE; empty: as the process's environment says.
std::string trace_file(const InstallerSession& session, const ActionData* data) {
  if (data && data->value("Trace")) return *data->value("Trace");
  return session.deferred() ? "" : session.property("ULVANE_TRACE");
}

struct Address {
  std::string host;
  std::string port;
  std::string text() const { return host + " port " + port; }
};

// The configuration names of GetCacheConfig's answer, which are on lines of their own.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Whether two configuration names name the same registry key, which ignores case
// (here the case of ASCII letters; other names must match exactly).
bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" {

// Each action traces its calls to the file its data's "Trace=" names or, run immediate,
// the property ULVANE_TRACE.

// Immediate: finds the server configuration ULVANE_CONFIG names, or else the first, and
// sets the properties below to what it finds. Where a lookup finds nothing it says why
// and leaves that property empty: the author's conditions decide what follows.
UINT __stdcall UlvaneFindServer(MSIHANDLE handle) {
  return run_action(handle, "UlvaneFindServer", [](const InstallerSession& session) -> std::string {
    if (session.deferred())
      throw Failure("UlvaneFindServer runs only as an immediate action: it sets properties, which an action "
                    "run from the install script cannot");
    const TraceSwitch trace(trace_file(session, nullptr));
    const std::string wanted = session.property("ULVANE_CONFIG");
    for (const char* name : {"ULVANE_CONFIGURATIONS", "ULVANE_CONFIG", "ULVANE_CACHEDIR", "ULVANE_CPF", "ULVANE_PORT"})
      session.set_property(name, "");
    const auto not_found = [&](const std::string& why) { session.log("UlvaneFindServer: " + why); };

    const std::vector<std::string> names = lines_of(GetCacheConfig());
    if (names.empty()) {
      not_found("no server configuration is recorded on this machine: " +
                why_last_call("no configuration could be listed"));
      return "found no server configuration";
    }
    std::string listed;
    for (const std::string& name : names) listed.append(listed.empty() ? "" : ";").append(name);
    session.set_property("ULVANE_CONFIGURATIONS", listed);
    std::string chosen = wanted.empty() ? names.front() : "";
    for (const std::string& name : names)
      if (chosen.empty() && same_name(name, wanted)) chosen = name;
    if (chosen.empty()) {
      not_found("there is no configuration named " + wanted + " (the configurations: " + listed + ")");
      return "found no configuration named " + wanted;
    }
    session.set_property("ULVANE_CONFIG", chosen);
    std::string found = "configuration " + chosen;

    // Each lookup on its own: one that finds nothing leaves the others to try. An empty
    // path is no place to install to or register in.
    const auto look_up = [&](const char* property, const std::string& what, const std::string& value,
                             const std::string& why_not) {
      if (value.empty()) {
        not_found("configuration " + chosen + " has no " + what + ": " + why_last_call(why_not));
        return;
      }
      session.set_property(property, value);
      found += ", " + what + " " + value;
    };
    std::string directory = GetCacheDir(chosen.c_str());
    // As the installer's own folder properties do, so that "[ULVANE_CACHEDIR]CSP" is a path.
    if (!directory.empty() && directory.back() != '\\') directory += '\\';
    look_up("ULVANE_CACHEDIR", "directory", directory, "its recorded directory is empty");
    look_up("ULVANE_CPF", "configuration file", GetCacheCpf(chosen.c_str()),
            "its recorded configuration file is empty");
    const int port = GetCachePort(chosen.c_str());
    look_up("ULVANE_PORT", "port", port > 0 ? std::to_string(port) : "",
            "its configuration file gives the port " + std::to_string(port));
    return "found " + found;
  });
}

// Deferred; CustomActionData "Cpf=<configuration file>": registers the product's
// namespace and web application in that file (UpdateCpf).
UINT __stdcall UlvaneRegister(MSIHANDLE handle) {
  return run_action(handle, "UlvaneRegister", [](const InstallerSession& session) {
    const ActionData data = action_data(session, "UlvaneRegister", {{"Cpf", true}, {"Trace"}});
    const TraceSwitch trace(trace_file(session, &data));
    const std::string file = *data.value("Cpf");
    if (file.empty()) throw data.malformed("Cpf is empty");
    // UpdateCpf would make a new file there, which no server reads.
    const DWORD attributes = GetFileAttributesA(file.c_str());
    const DWORD error = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
      throw Failure::format("The configuration file %s does not exist", file);
    if (UpdateCpf(file.c_str()) != 1) throw Failure(why_last_call("UpdateCpf failed"));
    return "registered the product's namespace and web application in " + file;
  });
}

// Deferred; CustomActionData "Host=...;Port=...;Namespace=...", then in the order to
// load them "Routine=<name>,<file>" (LoadRtn into Namespace) and "InstallRoutine=<file>"
// (LoadFile: into %SYS as QUMAINST). Stops at the first that fails.
UINT __stdcall UlvaneLoadRoutines(MSIHANDLE handle) {
  return run_action(handle, "UlvaneLoadRoutines", [](const InstallerSession& session) {
    const ActionData data = action_data(
        session, "UlvaneLoadRoutines",
        {{"Host", true},
         {"Port", true},
         {"Namespace"},
         {"Routine", false, true},
         {"InstallRoutine", false, true},
         {"Trace"}});
    const Address address{*data.value("Host"), *data.value("Port")};
    const std::optional<std::string> name_space = data.value("Namespace");
    struct Load {
      std::string routine;  // empty for the install routine
      std::string file;
    };
    // Every entry is checked before the first routine goes to the server.
    std::vector<Load> loads;
    for (const auto& [key, value] : data.entries()) {
      if (key == "InstallRoutine") {
        if (value.empty()) throw data.malformed("an InstallRoutine is empty");
        loads.push_back({"", value});
      } else if (key == "Routine") {
        const std::size_t comma = value.find(',');
        if (comma == std::string::npos || comma == 0 || comma + 1 == value.size())
          throw data.malformed("the Routine \"" + value + "\" is not <name>,<file>");
        if (!name_space || name_space->empty()) throw data.malformed("Routine entries need a Namespace");
        loads.push_back({value.substr(0, comma), value.substr(comma + 1)});
      }
    }
    if (loads.empty()) throw data.malformed("it names no Routine and no InstallRoutine");
    const TraceSwitch trace(trace_file(session, &data));

    std::string loaded;  // the routines so far, for a failure
    std::string done;    // what was loaded from where, for the log
    for (const Load& load : loads) {
      const bool install_routine = load.routine.empty();
      const std::string what =
          install_routine ? "the install routine into %SYS" : "routine " + load.routine + " into " + *name_space;
      const int status =
          install_routine
              ? LoadFile(address.host.c_str(), address.port.c_str(), load.file.c_str())
              : LoadRtn(load.file.c_str(), address.host.c_str(), address.port.c_str(), name_space->c_str(),
                        load.routine.c_str());
      if (status != 1)
        throw Failure::format("Could not load %s at %s from %s%s: %s", what, address.text(), load.file,
                              loaded.empty() ? "" : " (loaded before it: " + loaded + ")",
                              why_last_call(install_routine ? "LoadFile failed" : "LoadRtn failed"));
      loaded.append(loaded.empty() ? "" : ", ").append(install_routine ? "QUMAINST" : load.routine);
      done.append(done.empty() ? "" : ", ").append(what).append(" from ").append(load.file);
    }
    return "loaded " + done + ", at " + address.text();
  });
}

// Deferred (CustomActionData) or immediate (the property ULVANE_CALL), with the same
// data: "Host=...;Port=...;Namespace=...;Expression=..." and, optionally, "Expect=" the
// answer the install needs, "Attempts=" how often to ask (1 to 100, default 1) and
// "Pause=" milliseconds between attempts (default 1000). Immediate, it sets
// ULVANE_ANSWER to the answer.
UINT __stdcall UlvaneCall(MSIHANDLE handle) {
  return run_action(handle, "UlvaneCall", [](const InstallerSession& session) {
    const bool deferred = session.deferred();
    const ActionData data = action_data(session, "UlvaneCall",
                                        {{"Host", true},
                                         {"Port", true},
                                         {"Namespace", true},
                                         {"Expression", true},
                                         {"Expect"},
                                         {"Attempts"},
                                         {"Pause"},
                                         {"Trace"}},
                                        "ULVANE_CALL");
    const Address address{*data.value("Host"), *data.value("Port")};
    const std::string name_space = *data.value("Namespace");
    const std::string expression = *data.value("Expression");
    const std::optional<std::string> expected = data.value("Expect");
    const int attempts = data.number("Attempts", 1, 1, 100);
    const int pause = data.number("Pause", 1000, 0, 600000);
    const TraceSwitch trace(trace_file(session, &data));
    if (!deferred) session.set_property("ULVANE_ANSWER", "");

    const std::string asked = "asked " + expression + " in namespace " + name_space + " at " + address.text();
    std::string why;
    for (int attempt = 1;; ++attempt) {
      const std::string answer =
          Call(address.host.c_str(), address.port.c_str(), name_space.c_str(), expression.c_str());
      // A failed Call answers with its failure's message, which GetLastFailure gives too.
      why = GetLastFailure();
      if (why.empty()) {
        if (!expected || answer == *expected) {
          if (!deferred) session.set_property("ULVANE_ANSWER", answer);
          return asked + ", it answered \"" + answer + "\"";
        }
        why = "it answered \"" + answer + "\", not \"" + *expected + "\"";
      }
      if (attempt == attempts) break;
      session.log("UlvaneCall: " + asked + ", attempt " + std::to_string(attempt) + " of " +
                  std::to_string(attempts) + ": " + why);
      Sleep(static_cast<DWORD>(pause));
    }
    throw Failure::format("%s: %s", asked, why);
  });
}

}  // extern "C"
