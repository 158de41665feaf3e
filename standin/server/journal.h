// The journal: every line received, with the namespace it ran in, appended as it arrived.
// One record per line: <namespace> TAB <line exactly as received> LF.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

namespace standin {

class Journal {
public:
  // Opens (creating if needed) the file for appending; readers may open it meanwhile.
  explicit Journal(const std::wstring& path);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  bool is_open() const { return file_ != INVALID_HANDLE_VALUE; }
  void append(const std::string& name_space, const std::string& line);

private:
  HANDLE file_;
  std::mutex writing_;
};

}  // namespace standin
