#include "config/profile_file.h"

#include <windows.h>

#include "common/failure.h"
#include "common/owner.h"
#include "common/system_message.h"

namespace ulvane::config {
namespace {

constexpr DWORD kValueBuffer = 2048;
constexpr DWORD kFirstKeyListBuffer = 16384;

}  // namespace

std::string profile_file_path(const std::string& path) {
  if (path.find_first_of("\\/") == std::string::npos) {
    std::string folder(MAX_PATH, '\0');
    const UINT length = GetWindowsDirectoryA(folder.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
      throw Failure::format("Unable to find the Windows folder for %s", path);
    folder.resize(length);
    return folder + "\\" + path;
  }
  const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  std::string full(size, '\0');
  const DWORD length = size ? GetFullPathNameA(path.c_str(), size, full.data(), nullptr) : 0;
  if (length == 0 || length >= size)
    throw Failure::format("Unable to write to %s: %s", path, system_reason(GetLastError()));
  full.resize(length);
  return full;
}

std::string ProfileFile::read_value(const std::string& section, const std::string& key) const {
  std::string value(kValueBuffer, '\0');
  DWORD length =
      GetPrivateProfileStringA(section.c_str(), key.c_str(), "", value.data(), kValueBuffer, path_.c_str());
  value.resize(length);
  return value;
}

std::string ProfileFile::unreadable_reason() const {
  FileHandle file(CreateFileA(path_.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return file ? std::string() : system_reason(GetLastError());
}

std::vector<std::string> ProfileFile::key_names(const std::string& section) const {
  // A list cut short would hide the highest entry number (so a new entry would
  // overwrite an existing one) or cut a name in half: grow until it all fits. The
  // platform answers size - 2 when the list did not fit.
  std::vector<char> buffer;
  DWORD length = 0;
  for (DWORD size = kFirstKeyListBuffer;; size *= 2) {
    buffer.assign(size, '\0');
    length = GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer.data(), size, path_.c_str());
    if (length + 2 < size) break;
  }

  std::vector<std::string> names;
  for (DWORD at = 0; at < length;) {
    std::string name(buffer.data() + at);
    at += static_cast<DWORD>(name.size()) + 1;
    names.push_back(std::move(name));
  }
  return names;
}

void ProfileFile::write_value(const std::string& section, const std::string& key,
                              const std::string& value) const {
  if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path_.c_str()))
    throw Failure::format("Unable to write to %s: %s", shown_as_, system_reason(GetLastError()));
}

}  // namespace ulvane::config
