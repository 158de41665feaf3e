#include "support/scratch_directory.h"

#include <windows.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ulvane::test {

ScratchDirectory::ScratchDirectory() {
  static LONG counter = 0;
  char temp[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, temp);
  // A killed test can leave its directory behind, and Wine reuses process ids:
  // take the next free name rather than fail.
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = std::string(temp) + "ulvane-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(InterlockedIncrement(&counter));
    if (CreateDirectoryA(path_.c_str(), nullptr)) return;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("cannot create " + path_);
}

namespace {

void remove_tree(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      std::string child = path + "\\" + name;
      SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        remove_tree(child);
      else
        DeleteFileA(child.c_str());
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

}  // namespace

ScratchDirectory::~ScratchDirectory() { remove_tree(path_); }

std::string ScratchDirectory::write(const std::string& name, const std::string& bytes) const {
  std::string full = file(name);
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + full);
  return full;
}

std::string ScratchDirectory::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string crlf_lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text.append(line).append("\r\n");
  return text;
}

}  // namespace ulvane::test
