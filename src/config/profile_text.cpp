#include "config/profile_text.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <tuple>

namespace ulvane::config {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\f\v";

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Section and key names are found without regard to case.
std::string folded(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return out;
}

// A file that starts with a UTF-16 byte order mark is read as UTF-16 by the profile
// functions: its lines are compared as UTF-8.
std::string narrow_text(std::string_view bytes) {
  const bool little = bytes.size() >= 2 && bytes[0] == '\xff' && bytes[1] == '\xfe';
  const bool big = bytes.size() >= 2 && bytes[0] == '\xfe' && bytes[1] == '\xff';
  if (!little && !big) return std::string(bytes);
  std::wstring wide;
  for (std::size_t at = 2; at + 1 < bytes.size(); at += 2) {
    const auto low = static_cast<unsigned char>(bytes[little ? at : at + 1]);
    const auto high = static_cast<unsigned char>(bytes[little ? at + 1 : at]);
    wide += static_cast<wchar_t>(low | high << 8);
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

// A line in the form the profile functions write it, with the section it stands in.
struct Line {
  std::string section;  // folded
  std::string key;      // folded; empty for a line that is not key=value
  std::string text;
  bool operator<(const Line& other) const {
    return std::tie(section, key, text) < std::tie(other.section, other.key, other.text);
  }
};

std::vector<Line> lines_of(std::string_view bytes) {
  const std::string text = narrow_text(bytes);
  std::vector<Line> lines;
  std::string section;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = trimmed(std::string_view(text).substr(at, end - at));
    at = end + 1;
    if (line.empty()) continue;
    const auto close = line.find(']');
    if (line.front() == '[' && close != std::string_view::npos) {
      const std::string_view name = trimmed(line.substr(1, close - 1));
      section = folded(name);
      std::string header = "[";
      header.append(name).append("]");
      lines.push_back({section, "", std::move(header)});
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      lines.push_back({section, "", std::string(line)});
      continue;
    }
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    std::string normal(key);
    normal.append("=").append(value);
    lines.push_back({section, folded(key), std::move(normal)});
  }
  return lines;
}

bool is_written(const Line& line, const std::vector<ProfileEntry>& written) {
  return !line.key.empty() && std::any_of(written.begin(), written.end(), [&](const ProfileEntry& entry) {
    return line.section == folded(entry.section) && line.key == folded(entry.key);
  });
}

}  // namespace

bool keeps_every_line(std::string_view original, std::string_view rewritten,
                      const std::vector<ProfileEntry>& written) {
  std::map<Line, long> missing;
  for (Line& line : lines_of(original))
    if (!is_written(line, written)) ++missing[std::move(line)];
  const std::vector<Line> after = lines_of(rewritten);
  for (const Line& line : after) {
    const auto found = missing.find(line);
    if (found != missing.end() && --found->second == 0) missing.erase(found);
  }
  if (!missing.empty()) return false;
  return std::all_of(written.begin(), written.end(), [&](const ProfileEntry& entry) {
    const Line wanted{folded(entry.section), folded(entry.key), ""};
    return std::any_of(after.begin(), after.end(), [&](const Line& line) {
      return line.section == wanted.section && line.key == wanted.key &&
             trimmed(std::string_view(line.text).substr(line.text.find('=') + 1)) == entry.value;
    });
  });
}

}  // namespace ulvane::config
