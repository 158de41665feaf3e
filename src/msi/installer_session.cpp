#include "msi/installer_session.h"

#include <msiquery.h>

#include "common/failure.h"
#include "common/system_message.h"

namespace ulvane::msi {

namespace {

// Closes a handle the installer gave out.
class RecordHandle {
public:
  explicit RecordHandle(MSIHANDLE record) noexcept : record_(record) {}
  ~RecordHandle() {
    if (record_) MsiCloseHandle(record_);
  }
  RecordHandle(const RecordHandle&) = delete;
  RecordHandle& operator=(const RecordHandle&) = delete;
  MSIHANDLE get() const noexcept { return record_; }

private:
  MSIHANDLE record_;
};

// text as a record template that formats to text itself: the installer reads "[...]"
// and "{...}" in a template as references, and writes "[\c]" as the character c.
std::string template_of(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '[' || c == ']' || c == '{' || c == '}')
      escaped.append("[\\").append(1, c).append("]");
    else
      escaped += c;
  }
  return escaped;
}

}  // namespace

std::string InstallerSession::property(const char* name) const {
  std::string value(64, '\0');
  for (;;) {
    DWORD length = static_cast<DWORD>(value.size());
    const UINT status = MsiGetPropertyA(session_, name, value.data(), &length);
    if (status == ERROR_SUCCESS) {
      value.resize(length);
      return value;
    }
    // The length leaves out the terminating null, which the buffer must hold too.
    if (status != ERROR_MORE_DATA)
      throw Failure::format("Unable to read the installer property %s: %s", name, system_reason(status));
    value.resize(static_cast<std::size_t>(length) + 1);
  }
}

void InstallerSession::set_property(const char* name, const std::string& value) const {
  const UINT status = MsiSetPropertyA(session_, name, value.c_str());
  if (status != ERROR_SUCCESS)
    throw Failure::format("Unable to set the installer property %s: %s", name, system_reason(status));
}

bool InstallerSession::deferred() const noexcept {
  return MsiGetMode(session_, MSIRUNMODE_SCHEDULED) != FALSE;
}

void InstallerSession::log(std::string_view text) const noexcept {
  try {
    RecordHandle record(MsiCreateRecord(0));
    if (!record.get()) return;
    if (MsiRecordSetStringA(record.get(), 0, template_of(text).c_str()) != ERROR_SUCCESS) return;
    MsiProcessMessage(session_, INSTALLMESSAGE_INFO, record.get());
  } catch (...) {
    // Out of memory for the line: it is dropped.
  }
}

}  // namespace ulvane::msi
