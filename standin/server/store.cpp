#include "store.h"

#include <windows.h>

#include "common/utf8.h"
#include "server_error.h"

namespace standin {
namespace {

class FileHandle {
public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
  HANDLE handle_;
};

std::string windows_error(DWORD code) {
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return "no such file";
  if (code == ERROR_ACCESS_DENIED) return "access denied";
  std::string text = "Windows error ";
  return text.append(std::to_string(code));
}

std::string quoted(const std::string& text) {
  std::string result(1, '"');
  return result.append(text).append(1, '"');
}

}  // namespace

bool valid_routine_name(const std::string& name) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (name.empty() || !(name[0] == '%' || letter(name[0]))) return false;
  for (size_t i = 1; i < name.size(); ++i)
    if (!letter(name[i]) && !digit(name[i]) && name[i] != '.') return false;
  return true;
}

std::string read_routine_file(const std::string& utf8_path) {
  std::string cannot = "cannot open routine file ";
  cannot.append(quoted(utf8_path)).append(": ");
  FileHandle file(CreateFileW(widen(utf8_path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw ServerError(cannot.append(windows_error(GetLastError())));
  std::string text;
  char buffer[65536];
  DWORD got = 0;
  for (;;) {
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
      throw ServerError(cannot.append(windows_error(GetLastError())));
    if (got == 0) return text;
    text.append(buffer, got);
  }
}

std::wstring RoutineStore::path(const std::string& name_space, const std::string& routine) const {
  return root_ + L"\\" + widen(name_space) + L"\\" + widen(routine) + L".rtn";
}

bool RoutineStore::exists(const std::string& name_space, const std::string& routine) const {
  if (!valid_routine_name(routine)) return false;
  DWORD attributes = GetFileAttributesW(path(name_space, routine).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RoutineStore::save(const std::string& name_space, const std::string& routine, const std::string& text) {
  std::lock_guard lock(saving_);
  std::string cannot = "cannot save routine ";
  cannot.append(quoted(routine)).append(": ");
  CreateDirectoryW(root_.c_str(), nullptr);
  CreateDirectoryW((root_ + L"\\" + widen(name_space)).c_str(), nullptr);
  FileHandle file(CreateFileW(path(name_space, routine).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw ServerError(cannot.append(windows_error(GetLastError())));
  DWORD written = 0;
  if (!text.empty() &&
      (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
       written != text.size()))
    throw ServerError(cannot.append(windows_error(GetLastError())));
}

}  // namespace standin
