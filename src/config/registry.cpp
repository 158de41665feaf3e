// Reads the configurations key of the local-machine hive with read access only.
#include "config/registry.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "common/failure.h"
#include "common/registry_key.h"

namespace ulvane::config {
namespace {

constexpr const char* kDirectoryKey = "Directory";
constexpr const char* kPropertiesKey = "Properties";
constexpr const char* kCrLf = "\r\n";
// Longest key name in ANSI: 255 UTF-16 units, each up to two bytes in a DBCS code page.
constexpr DWORD kLongestAnsiKeyName = 510;

// The 32-bit view first, then the 64-bit one, named explicitly so that the 32-bit DLL
// and its 64-bit twin give the same answers: a 32-bit server records its
// configurations in the 32-bit view, a 64-bit server only in the 64-bit view.
constexpr REGSAM kViews[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};

// A key opened for reading, or why it is not: only an absent key sends the
// lookup on to the other view, never one that refuses access.
struct OpenedKey {
  RegistryKey key;
  LONG result;
  bool absent() const { return result == ERROR_FILE_NOT_FOUND; }
};

OpenedKey open_key(HKEY parent, const std::string& path, REGSAM view) {
  HKEY key = nullptr;
  const LONG result = RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ | view, &key);
  return {result == ERROR_SUCCESS ? RegistryKey(key) : RegistryKey(), result};
}

// The default value of a configuration's subkey (key). A failure names the
// configuration and the subkey: the value itself has no name.
std::string read_default_text(const RegistryKey& key, const std::string& configuration, const char* subkey) {
  // Reads of a value that keeps growing under us before it counts as unreadable.
  constexpr int kReadAttempts = 4;
  const char* value_name = "";
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), value_name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0)
    return std::string();
  std::vector<char> data;
  LONG read = ERROR_MORE_DATA;
  // Someone may write a longer value between the size query and the read: take the
  // size the refused read reports and read again, a few times, before giving up.
  for (int attempt = 0; attempt < kReadAttempts && read == ERROR_MORE_DATA; ++attempt) {
    data.resize(size);
    read =
        RegQueryValueExA(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  }
  if (read != ERROR_SUCCESS)
    throw Failure::format("Failed to get data for the %s of configuration '%s'", subkey, configuration);
  if (type != REG_SZ && type != REG_EXPAND_SZ)
    throw Failure::format("Invalid data type for the %s of configuration '%s'", subkey, configuration);
  // Stored data need not end with a NUL; the text ends at the first one there is.
  std::string text(data.data(), size);
  return text.substr(0, text.find('\0'));
}

// One view answers each question, so that one configuration is never answered
// from two installations: the first view whose configurations key has what
// answer looks for (answer gives nothing when it is absent there). A key that
// refuses access is an answer too: the empty text.
template <typename Answer>
std::string from_one_view(Answer answer) {
  for (REGSAM view : kViews) {
    OpenedKey configurations = open_key(HKEY_LOCAL_MACHINE, kConfigurationsKey, view);
    if (configurations.absent()) continue;
    if (!configurations.key) break;
    if (std::optional<std::string> text = answer(configurations.key, view)) return *text;
  }
  return std::string();
}

// Each key is opened relative to its parent: the full path of a long name passes
// the platform's path limit.
std::string configuration_value(const std::string& name, const char* subkey) {
  return from_one_view([&](const RegistryKey& configurations, REGSAM view) -> std::optional<std::string> {
    OpenedKey configuration = open_key(configurations.get(), name, view);
    if (configuration.absent()) return std::nullopt;
    if (!configuration.key) return std::string();
    RegistryKey key = open_key(configuration.key.get(), subkey, view).key;
    return key ? read_default_text(key, name, subkey) : std::string();
  });
}

// One subkey name, or false when its index cannot be read (the list changed meanwhile).
bool subkey_name(const RegistryKey& key, DWORD index, std::vector<char>& buffer, std::string& name) {
  DWORD length = static_cast<DWORD>(buffer.size());
  LONG result = RegEnumKeyExA(key.get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_MORE_DATA && buffer.size() <= kLongestAnsiKeyName) {
    // The longest-name figure counts characters; a DBCS name may need more bytes.
    buffer.resize(kLongestAnsiKeyName + 1);
    length = static_cast<DWORD>(buffer.size());
    result = RegEnumKeyExA(key.get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
  }
  if (result != ERROR_SUCCESS) return false;
  name.assign(buffer.data(), length);
  return true;
}

}  // namespace

std::string configuration_names() {
  return from_one_view([](const RegistryKey& key, REGSAM) -> std::optional<std::string> {
    DWORD count = 0;
    DWORD longest = 0;
    // A key with no configuration in it (or none that can be counted) is as good
    // as absent: the configurations are then in the other view.
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        count == 0)
      return std::nullopt;

    std::vector<char> buffer(longest + 1);
    std::string names;
    std::string name;
    bool first = true;
    for (DWORD index = 0; index < count; ++index) {
      if (!subkey_name(key, index, buffer, name)) continue;
      if (!first) names += kCrLf;
      names += name;
      first = false;
    }
    return names;
  });
}

std::string configuration_directory(const std::string& name) {
  return configuration_value(name, kDirectoryKey);
}

std::string configuration_file_path(const std::string& name) {
  return configuration_value(name, kPropertiesKey);
}

}  // namespace ulvane::config
