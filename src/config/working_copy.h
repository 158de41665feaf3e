// A change to a file made on a copy beside it and put in place whole: the file's path
// holds the old file or the new one at every moment, whatever fails and whenever the
// process is ended.
#pragma once

#include <windows.h>

#include <string>

namespace ulvane::config {

// What a file held when it was read.
struct FileContents {
  bool exists = false;
  std::string bytes;
  DWORD attributes = 0;
  DWORD links = 0;

  bool same_bytes(const FileContents& other) const { return exists == other.exists && bytes == other.bytes; }
};

// The file as it is now; one that is not there does not exist. A Failure "Unable to
// write to <path>: <why>" when it cannot be read.
FileContents read_contents(const std::string& path);

// "Unable to write to <path>: <the system's text for error>".
[[noreturn]] void fail_to_write(const std::string& path, DWORD error);

class WorkingCopy {
public:
  // A new file in target's folder (or, where this process may not add a file there,
  // in the temporary folder) holding original's bytes. Copies left there by processes
  // that were ended mid-update are removed first. A Failure when the target cannot
  // be written.
  WorkingCopy(std::string target, const FileContents& original);
  // Removes the copy unless it went in place.
  ~WorkingCopy();
  WorkingCopy(const WorkingCopy&) = delete;
  WorkingCopy& operator=(const WorkingCopy&) = delete;

  const std::string& path() const { return path_; }

  // What the copy holds now, written through to the disk.
  std::string bytes() const;

  // Puts the copy, which holds bytes, in place of the target, keeping the target's
  // attributes, access list and other names: true. False, with nothing done, when the target no
  // longer holds original (another program changed it). A Failure when it cannot;
  // the target is then as it was.
  bool put_in_place(const FileContents& original, const std::string& bytes);

private:
  bool write_in_place(const FileContents& original, const std::string& bytes);

  std::string target_;
  std::string path_;
  bool beside_ = true;  // in the target's folder, where it can take the target's place
  bool gone_ = false;
};

}  // namespace ulvane::config
