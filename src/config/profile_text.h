// The lines of a configuration file as the profile functions read them, for telling
// whether a rewrite kept every one of them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ulvane::config {

// One value written under section and key.
struct ProfileEntry {
  std::string section;
  std::string key;
  std::string value;
};

// Whether rewritten holds every line of original (leaving out the lines of the keys
// written) and each written entry. Blanks around names and values, blank lines and
// the order of lines do not count: the profile functions may change them. A rewrite
// cut short by a write that failed part-way loses lines, and fails this.
bool keeps_every_line(std::string_view original, std::string_view rewritten,
                      const std::vector<ProfileEntry>& written);

}  // namespace ulvane::config
