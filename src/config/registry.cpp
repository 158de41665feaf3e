// Reads the configurations key of the local-machine hive with read access only.
#include "config/registry.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "common/failure.h"
#include "common/registry_key.h"
#include "common/system_message.h"
#include "common/text.h"

namespace ulvane::config {
namespace {

constexpr const char* kDirectoryKey = "Directory";
constexpr const char* kPropertiesKey = "Properties";
constexpr const char* kCrLf = "\r\n";
// Longest key name: 255 UTF-16 units, each up to two bytes in ANSI of a DBCS code page.
constexpr std::size_t kLongestKeyName = 255;
constexpr DWORD kLongestAnsiKeyName = 2 * kLongestKeyName;

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

// Why a key could not be read, for a key that exists but refuses us.
[[noreturn]] void unreadable(const std::string& path, LONG result) {
  throw Failure::format("Unable to read HKEY_LOCAL_MACHINE\\%s: %s", path,
                        system_reason(static_cast<DWORD>(result)));
}

std::string configuration_path(const std::string& configuration) {
  return std::string(kConfigurationsKey) + "\\" + configuration;
}

// The default value of a configuration's subkey (key). A failure names the
// configuration and the subkey: the value itself has no name. A value stored empty
// is the empty text, not a failure.
std::string read_default_text(const RegistryKey& key, const std::string& configuration, const char* subkey) {
  // Reads of a value that keeps growing under us before it counts as unreadable.
  constexpr int kReadAttempts = 4;
  const char* value_name = "";
  DWORD type = 0;
  DWORD size = 0;
  const LONG queried = RegQueryValueExA(key.get(), value_name, nullptr, &type, nullptr, &size);
  if (queried == ERROR_FILE_NOT_FOUND)
    throw Failure::format("The %s key of configuration '%s' has no value", subkey, configuration);
  if (queried != ERROR_SUCCESS)
    throw Failure::format("Failed to get data for the %s of configuration '%s'", subkey, configuration);
  if (size == 0) return std::string();
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
// refuses access is not looked for elsewhere. When no view has it, the failure is
// what not_found says.
template <typename Answer>
std::string from_one_view(Answer answer, const std::string& not_found) {
  for (REGSAM view : kViews) {
    OpenedKey configurations = open_key(HKEY_LOCAL_MACHINE, kConfigurationsKey, view);
    if (configurations.absent()) continue;
    if (!configurations.key) unreadable(kConfigurationsKey, configurations.result);
    if (std::optional<std::string> text = answer(configurations.key, view)) return *text;
  }
  throw Failure(not_found);
}

// Each key is opened relative to its parent: the full path of a long name passes
// the platform's path limit.
std::string configuration_value(const std::string& name, const char* subkey) {
  // The empty name would open the configurations key itself.
  if (name.empty()) throw Failure("No configuration was named");
  // The platform's answer to a longer name is no "not found" but a misleading error.
  if (const std::size_t characters = to_wide(name).size(); characters > kLongestKeyName)
    throw Failure::format(
        "No configuration is recorded under a name of %s characters (a key name has at most %s)",
        std::to_string(characters), std::to_string(kLongestKeyName));
  return from_one_view(
      [&](const RegistryKey& configurations, REGSAM view) -> std::optional<std::string> {
        OpenedKey configuration = open_key(configurations.get(), name, view);
        if (configuration.absent()) return std::nullopt;
        if (!configuration.key) unreadable(configuration_path(name), configuration.result);
        OpenedKey key = open_key(configuration.key.get(), subkey, view);
        if (key.absent()) throw Failure::format("Configuration '%s' has no %s key", name, subkey);
        if (!key.key) unreadable(configuration_path(name) + "\\" + subkey, key.result);
        return read_default_text(key.key, name, subkey);
      },
      Failure::format("No configuration named '%s' is recorded", name).what());
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
  return from_one_view(
      [](const RegistryKey& key, REGSAM) -> std::optional<std::string> {
        DWORD count = 0;
        DWORD longest = 0;
        // A key with no configuration in it (or none that can be counted) is as good
        // as absent: the configurations are then in the other view.
        if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
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
      },
      std::string("No configuration is recorded under HKEY_LOCAL_MACHINE\\") + kConfigurationsKey);
}

std::string configuration_directory(const std::string& name) {
  return configuration_value(name, kDirectoryKey);
}

std::string configuration_file_path(const std::string& name) {
  return configuration_value(name, kPropertiesKey);
}

}  // namespace ulvane::config
