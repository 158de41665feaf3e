#include "msi/installer_session.h"

#include <msiquery.h>

#include <algorithm>

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

// text as a record template that formats to one line of text itself: the installer
// reads "[...]" and "{...}" in a template as references, and writes "[\c]" as the
// character c; a line break (in a server's message, say) is written as "\r" or "\n",
// and any other control character as "\xNN".
std::string template_of(std::string_view text) {
  constexpr const char* kHexDigits = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (c == '[' || c == ']' || c == '{' || c == '}') {
      escaped.append("[\\").append(1, c).append("]");
    } else if (c == '\r') {
      escaped.append("\\r");
    } else if (c == '\n') {
      escaped.append("\\n");
    } else if (code < 0x20 || code == 0x7f) {
      escaped.append("\\x").append(1, kHexDigits[code >> 4]).append(1, kHexDigits[code & 0xf]);
    } else {
      escaped += c;
    }
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
    if (status != ERROR_MORE_DATA)
      throw Failure::format("Unable to read the installer property %s: %s", name, system_reason(status));
    // The length leaves out the terminating null, which the buffer must hold too; at
    // least double, should a length come back that is no larger.
    value.resize(std::max(static_cast<std::size_t>(length) + 1, value.size() * 2));
  }
}

void InstallerSession::set_property(const char* name, const std::string& value) const {
  const UINT status = MsiSetPropertyA(session_, name, value.c_str());
  if (status != ERROR_SUCCESS)
    throw Failure::format("Unable to set the installer property %s: %s", name, system_reason(status));
}

bool InstallerSession::deferred() const noexcept {
  return MsiGetMode(session_, MSIRUNMODE_SCHEDULED) || MsiGetMode(session_, MSIRUNMODE_ROLLBACK) ||
         MsiGetMode(session_, MSIRUNMODE_COMMIT);
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
