#include "config/configuration_file.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <string_view>
#include <vector>

#include "common/failure.h"
#include "common/system_message.h"
#include "config/extract_field.h"
#include "config/integer_syntax.h"
#include "config/profile_file.h"
#include "config/profile_text.h"
#include "config/registry.h"
#include "config/working_copy.h"

namespace ulvane::config {
namespace {

constexpr const char* kStartupSection = "Startup";
constexpr const char* kDefaultPortKey = "DefaultPort";
constexpr std::int32_t kNotFound = -1;

struct EntryRule {
  const char* section;
  const char* key_prefix;
  const char* match;
  const char* value;
};

// Applied in this order, each to a section of its own.
constexpr EntryRule kEntryRules[] = {
    {"Namespaces", "Nsp_", "ULV", "ULV,CACHELIB,CACHESYS,CACHELIB,CACHESYS,CACHELIB,CACHETEMP"},
    {"CSP.Applications", "CSPApp_", "/csp/ulv",
     "/csp/ulv,ulv,1,1,%ulv.event,900,1,,ULV,0,,/csp/ulv/error.csp,%ulv,,0"},
};

std::int32_t entry_number(const std::string& key) {
  std::string text = extract_field(key, '_', 2);
  auto number = parse_integer(text);
  if (!number) throw Failure::format("'%s' is not a valid integer value", text);
  return *number;
}

// The profile functions find keys without regard to case.
bool same_key(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

// A match spelled otherwise ("Nsp_02", "Nsp_0x2", "Nsp_2_old") is written under
// the key rebuilt from its number, which may hold an entry of its own.
bool holds_another_entry(const ProfileFile& file, const EntryRule& rule, const std::vector<std::string>& keys,
                         const std::string& key) {
  auto same = [&](const std::string& name) { return same_key(name, key); };
  return std::any_of(keys.begin(), keys.end(), same) &&
         extract_field(file.read_value(rule.section, key), ',', 1) != rule.match;
}

// The entry the rule writes: the key of the last match, or the next free number.
ProfileEntry chosen_entry(const ProfileFile& file, const EntryRule& rule) {
  const std::vector<std::string> keys = file.key_names(rule.section);
  std::int32_t chosen = kNotFound;
  std::int32_t highest = 0;
  for (const std::string& key : keys) {
    const std::int32_t number = entry_number(key);
    if (number > highest) highest = number;
    if (extract_field(file.read_value(rule.section, key), ',', 1) == rule.match) chosen = number;
  }
  // Writing over another entry would lose it: the match then counts as none.
  if (chosen != kNotFound && holds_another_entry(file, rule, keys, rule.key_prefix + std::to_string(chosen)))
    chosen = kNotFound;
  if (chosen == kNotFound) {
    // Past the largest number the next one would wrap round onto a negative key
    // that may belong to someone else: refuse instead of guessing.
    if (highest == std::numeric_limits<std::int32_t>::max())
      throw Failure::format("No free entry number in section %s", rule.section);
    chosen = highest + 1;
  }
  return {rule.section, rule.key_prefix + std::to_string(chosen), rule.value};
}

// The profile functions report a rewrite that a failed write cut short as a success;
// the error that write left behind says why, where it is one a write gives.
std::string why_cut_short(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_WRITE_FAULT:
      return system_reason(error);
    default:
      return "the rewritten file came out incomplete";
  }
}

// The rules applied to a working copy of the file, which goes in place whole, so that
// the path holds the old file or the new one at every moment. False when another
// program changed the file meanwhile: nothing was done.
bool update_copy(const std::string& path) {
  const FileContents before = read_contents(path);
  WorkingCopy copy(path, before);
  // Each rule reads its own section, which no other rule writes, so the entries are
  // chosen from the file itself: the profile functions read a file written in the
  // last two seconds (the fresh copy) again at every call, which made large files
  // several times slower.
  const ProfileFile file(path);
  const ProfileFile copy_file(copy.path(), path);
  std::vector<ProfileEntry> written;
  // A rule that cannot be applied stops the update; what the rules before it wrote stays written.
  std::exception_ptr stopped;
  DWORD left_behind = ERROR_SUCCESS;
  for (const EntryRule& rule : kEntryRules) {
    try {
      written.push_back(chosen_entry(file, rule));
    } catch (const Failure&) {
      stopped = std::current_exception();
      break;
    }
    const ProfileEntry& entry = written.back();
    copy_file.write_value(entry.section, entry.key, entry.value);
    left_behind = GetLastError();
  }
  if (written.empty()) std::rethrow_exception(stopped);
  const std::string after = copy.bytes();
  if (!keeps_every_line(before.bytes, after, written))
    throw Failure::format("Unable to write to %s: %s", path, why_cut_short(left_behind));
  if (!copy.put_in_place(before, after)) return false;
  if (stopped) std::rethrow_exception(stopped);
  return true;
}

}  // namespace

// Every way to -1 but a stored -1 is a failure, so that the trace can tell them apart.
std::int32_t cache_port(const std::string& configuration) {
  const std::string path = configuration_file_path(configuration);
  const ProfileFile file(path);
  const std::string text = file.read_value(kStartupSection, kDefaultPortKey);
  if (const auto number = parse_integer(text)) return *number;
  if (path.empty()) throw Failure::format("No configuration file is recorded for '%s'", configuration);
  if (!text.empty())
    throw Failure::format("'%s' is not a valid integer value (%s in section %s of %s)", text, kDefaultPortKey,
                          kStartupSection, path);
  const std::string reason = file.unreadable_reason();
  if (!reason.empty()) throw Failure::format("Unable to read %s: %s", path, reason);
  throw Failure::format("No %s in section %s of %s", kDefaultPortKey, kStartupSection, path);
}

void update_cpf(const std::string& path) {
  if (path.empty()) throw Failure("No configuration file was named");
  const std::string full_path = profile_file_path(path);
  // Another program's change made while the update ran is kept: the update starts
  // again, once, on the file as it now is.
  if (update_copy(full_path) || update_copy(full_path)) return;
  throw Failure::format("Unable to write to %s: another program kept changing it", full_path);
}

}  // namespace ulvane::config
