// The saved routines: one file per namespace and routine, <store>\<namespace>\<routine>.rtn.
#pragma once

#include <mutex>
#include <string>

namespace standin {

class RoutineStore {
public:
  explicit RoutineStore(std::wstring root) : root_(std::move(root)) {}

  // Throws ServerError with a plain text when the routine cannot be written.
  void save(const std::string& name_space, const std::string& routine, const std::string& text);
  bool exists(const std::string& name_space, const std::string& routine) const;

private:
  std::wstring path(const std::string& name_space, const std::string& routine) const;

  std::wstring root_;
  std::mutex saving_;
};

// Routine names as the server accepts them: '%' or a letter, then letters, digits and dots.
bool valid_routine_name(const std::string& name);

// The whole content of a file named by a UTF-8 path; ServerError if it cannot be read.
std::string read_routine_file(const std::string& utf8_path);

}  // namespace standin
