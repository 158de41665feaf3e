// The trace, turned on for one action from the installer's data: the actions run in
// processes the Windows Installer service starts, whose environment an author does not
// set, so the package passes the trace file as a property instead.
#pragma once

#include <optional>
#include <string>

namespace ulvane::msi {

// Sets the trace variable to path for the object's life, and then puts back what the
// process had: the process may run other actions, of other packages, after this one.
// An empty path leaves the variable as it is.
class TraceSwitch {
public:
  explicit TraceSwitch(const std::string& path);
  ~TraceSwitch();
  TraceSwitch(const TraceSwitch&) = delete;
  TraceSwitch& operator=(const TraceSwitch&) = delete;

private:
  bool switched_ = false;
  std::optional<std::wstring> before_;
};

}  // namespace ulvane::msi
