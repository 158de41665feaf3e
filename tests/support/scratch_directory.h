// A directory of scratch files for one test or suite, removed with everything in it.
#pragma once

#include <string>

namespace ulvane::test {

class ScratchDirectory {
public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  // The Windows path of a file in the directory.
  std::string file(const std::string& name) const { return path_ + "\\" + name; }
  // Writes the bytes exactly; returns the file's path.
  std::string write(const std::string& name, const std::string& bytes) const;
  // The file's bytes, or "<missing>" when it does not exist.
  std::string read(const std::string& name) const;

private:
  std::string path_;
};

// Lines joined with CR LF, each ended by one, as configuration files are written.
std::string crlf_lines(std::initializer_list<std::string> lines);

}  // namespace ulvane::test
