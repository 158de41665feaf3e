// One configuration file, reached only through the platform's profile functions:
// one call per access, nothing cached, no separate flush.
#pragma once

#include <string>
#include <vector>

namespace ulvane::config {

// The file the profile functions take path to name: a bare file name is in the
// Windows folder, any other path is made full against the current folder.
std::string profile_file_path(const std::string& path);

class ProfileFile {
public:
  explicit ProfileFile(std::string path) : path_(path), shown_as_(std::move(path)) {}
  // A file that stands in for another (a working copy): failures name that one.
  ProfileFile(std::string path, std::string shown_as)
      : path_(std::move(path)), shown_as_(std::move(shown_as)) {}

  // The value, or the empty text when the file, section or key is missing; a
  // value longer than 2047 characters is cut there.
  std::string read_value(const std::string& section, const std::string& key) const;

  // Why the file cannot be opened for reading, in the system's words; empty when it can.
  std::string unreadable_reason() const;

  // Every key name of the section in file order, however long the list.
  std::vector<std::string> key_names(const std::string& section) const;

  // Adds or replaces the value, creating the section and the file as needed.
  // A Failure "Unable to write to <path>: <why>" when the platform refuses.
  void write_value(const std::string& section, const std::string& key, const std::string& value) const;

private:
  std::string path_;
  std::string shown_as_;
};

}  // namespace ulvane::config
