#include "journal.h"

namespace standin {

Journal::Journal(const std::wstring& path)
    : file_(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr)) {}

Journal::~Journal() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

void Journal::append(const std::string& name_space, const std::string& line) {
  // One write per record, so records of concurrent connections never interleave.
  std::string record = name_space;
  record.append("\t").append(line).append("\n");
  std::lock_guard lock(writing_);
  DWORD written = 0;
  WriteFile(file_, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

}  // namespace standin
