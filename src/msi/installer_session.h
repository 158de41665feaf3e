// What a custom action reaches of the installer running it: properties, the action's
// data, the mode it runs in, and the log.
#pragma once

#include <windows.h>
#include <msi.h>

#include <string>
#include <string_view>

namespace ulvane::msi {

class InstallerSession {
public:
  explicit InstallerSession(MSIHANDLE session) noexcept : session_(session) {}

  // A Failure when the installer does not give the property.
  std::string property(const char* name) const;
  void set_property(const char* name, const std::string& value) const;

  // Whether the action runs from the installer's script (deferred, or as a rollback or
  // commit action), where only its CustomActionData reaches it, rather than as the
  // install is planned (immediate).
  bool deferred() const noexcept;

  // Writes text as one line of the installer's log, and nowhere else: an information
  // message, which no user interface level shows in a window. noexcept: the log never
  // turns a result around.
  void log(std::string_view text) const noexcept;

private:
  MSIHANDLE session_;
};

}  // namespace ulvane::msi
