#include "msi/trace_switch.h"

#include <windows.h>

#include "common/environment.h"
#include "common/failure.h"
#include "common/system_message.h"
#include "common/text.h"
#include "ulvane.h"

namespace ulvane::msi {

namespace {

constexpr wchar_t kVariable[] = L"" ULVANE_TRACE_VARIABLE;

}  // namespace

TraceSwitch::TraceSwitch(const std::string& path) {
  if (path.empty()) return;
  before_ = environment_value(ULVANE_TRACE_VARIABLE);
  if (!SetEnvironmentVariableW(kVariable, to_wide(path).c_str()))
    throw Failure::format("Unable to trace to %s: %s", path, system_reason(GetLastError()));
  switched_ = true;
}

TraceSwitch::~TraceSwitch() {
  if (switched_) SetEnvironmentVariableW(kVariable, before_ ? before_->c_str() : nullptr);
}

}  // namespace ulvane::msi
