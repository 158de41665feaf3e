#include "config/working_copy.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "common/failure.h"
#include "common/owner.h"
#include "common/system_message.h"

namespace ulvane::config {
namespace {

// Copies are named "ulvane-<process>-<thread>-<count>.tmp" for the process that made
// them, so that one left behind by a process that was ended can be told from one in use.
constexpr std::string_view kCopyStart = "ulvane-";
constexpr std::string_view kCopyEnd = ".tmp";
constexpr DWORD kLargestFile = 1u << 30;
// What the copy that replaces a file takes of its attributes.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

constexpr std::string_view kHexDigits = "0123456789abcdef";

std::string hex(unsigned long long value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), kHexDigits[value & 0xf]);
    value >>= 4;
  } while (value != 0);
  return digits;
}

// The process that made the copy of that name; 0 for a name not made so.
DWORD copy_maker(std::string_view name) {
  if (name.substr(0, kCopyStart.size()) != kCopyStart || name.size() < kCopyStart.size() + kCopyEnd.size() ||
      name.substr(name.size() - kCopyEnd.size()) != kCopyEnd)
    return 0;
  name = name.substr(kCopyStart.size(), name.size() - kCopyStart.size() - kCopyEnd.size());
  unsigned long long fields[3] = {};
  for (unsigned long long& field : fields) {
    const std::size_t end = std::min(name.find('-'), name.size());
    if (end == 0 || end > 16 || name.substr(0, end).find_first_not_of(kHexDigits) != std::string_view::npos)
      return 0;
    for (char digit : name.substr(0, end)) field = field << 4 | kHexDigits.find(digit);
    name.remove_prefix(std::min(end + 1, name.size()));
  }
  return name.empty() && fields[0] <= MAXDWORD ? static_cast<DWORD>(fields[0]) : 0;
}

std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool process_running(DWORD process_id) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

void remove_stale_copies(const std::string& folder) {
  WIN32_FIND_DATAA found{};
  const std::string pattern = folder + "\\" + std::string(kCopyStart) + "*" + std::string(kCopyEnd);
  const FindHandle find(FindFirstFileA(pattern.c_str(), &found));
  if (!find) return;
  do {
    const DWORD process_id = copy_maker(found.cFileName);
    if (process_id != 0 && process_id != GetCurrentProcessId() && !process_running(process_id))
      DeleteFileA((folder + "\\" + found.cFileName).c_str());
  } while (FindNextFileA(find.get(), &found));
}

// Writes bytes at offset; the error when not all of them were written.
DWORD write_at(HANDLE file, std::uint64_t offset, std::string_view bytes) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &at)) return GetLastError();
  return written == bytes.size() ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

bool cut_at(HANDLE file, std::uint64_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// The whole file behind an open handle, from its start.
std::string read_all(HANDLE file, const std::string& path) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) fail_to_write(path, GetLastError());
  if (size.QuadPart > kLargestFile) fail_to_write(path, ERROR_FILE_TOO_LARGE);
  std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t done = 0;
  OVERLAPPED at{};
  while (done < bytes.size()) {
    at.Offset = static_cast<DWORD>(done);
    DWORD read = 0;
    if (!ReadFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read, &at))
      fail_to_write(path, GetLastError());
    if (read == 0) break;
    done += read;
  }
  bytes.resize(done);
  return bytes;
}

std::string temporary_folder() {
  char folder[MAX_PATH + 1] = "";
  const DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return std::string();
  return folder_of(std::string(folder, length));
}

bool held_open(const std::string& path) {
  const FileHandle alone(
      CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return !alone && GetLastError() == ERROR_SHARING_VIOLATION;
}

// A file's access list, in a descriptor a new file can be made with; empty when it
// cannot be read (the platform's own replacing then carries it over where it can).
std::vector<char> access_list(const std::string& path) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<char> descriptor(size);
  if (!size || !GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size))
    descriptor.clear();
  return descriptor;
}

}  // namespace

void fail_to_write(const std::string& path, DWORD error) {
  throw Failure::format("Unable to write to %s: %s", path, system_reason(error));
}

FileContents read_contents(const std::string& path) {
  const FileHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return {};
    fail_to_write(path, error);
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file.get(), &information)) fail_to_write(path, GetLastError());
  return {true, read_all(file.get(), path), information.dwFileAttributes, information.nNumberOfLinks};
}

WorkingCopy::WorkingCopy(std::string target, const FileContents& original) : target_(std::move(target)) {
  // A file the platform would not let the profile functions write (read-only, denied,
  // held without write sharing) is refused before any work.
  if (original.exists) {
    const FileHandle writable(CreateFileA(target_.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!writable) fail_to_write(target_, GetLastError());
  }
  // Made with the file's own access list, so its contents are never open to more
  // readers than the file's.
  std::vector<char> descriptor = original.exists ? access_list(target_) : std::vector<char>();
  SECURITY_ATTRIBUTES security{sizeof security, descriptor.empty() ? nullptr : descriptor.data(), FALSE};
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  // Unique to this call as well: the profile functions keep recently used files by name.
  const std::string name = std::string(kCopyStart) + hex(GetCurrentProcessId()) + "-" +
                           hex(GetCurrentThreadId()) + "-" +
                           hex(static_cast<unsigned long long>(now.QuadPart)) + std::string(kCopyEnd);
  // A folder where this process may change the file but not add one: the copy goes to
  // the temporary folder, and the file is written over where it stands.
  FileHandle file;
  for (const std::string& folder : {folder_of(target_), temporary_folder()}) {
    if (folder.empty()) continue;
    remove_stale_copies(folder);
    path_ = folder + "\\" + name;
    file.reset(
        CreateFileA(path_.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    beside_ = folder == folder_of(target_);
    if (file || GetLastError() != ERROR_ACCESS_DENIED || !original.exists) break;
  }
  if (!file) fail_to_write(target_, GetLastError());
  const DWORD error = write_at(file.get(), 0, original.bytes);
  file.reset();
  if (error != ERROR_SUCCESS) {
    DeleteFileA(path_.c_str());
    fail_to_write(target_, error);
  }
}

WorkingCopy::~WorkingCopy() {
  if (!gone_) DeleteFileA(path_.c_str());
}

std::string WorkingCopy::bytes() const {
  const FileHandle file(CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file || !FlushFileBuffers(file.get())) fail_to_write(target_, GetLastError());
  return read_all(file.get(), target_);
}

bool WorkingCopy::put_in_place(const FileContents& original, const std::string& bytes) {
  if (!read_contents(target_).same_bytes(original)) return false;
  if (!original.exists) {
    if (MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH)) return gone_ = true;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return false;
    fail_to_write(target_, error);
  }
  // A file with other names stays the same file, and so keeps them; so does a file
  // another program has open, which goes on reading the file it opened (replaced, the
  // old file would linger beside the new one under a name of the platform's), and a
  // read-only one that the platform lets this process write.
  if (!beside_ || original.links > 1 || original.attributes & FILE_ATTRIBUTE_READONLY || held_open(target_))
    return write_in_place(original, bytes);
  const DWORD kept = original.attributes & kKeptAttributes;
  if (!SetFileAttributesA(path_.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL))
    fail_to_write(target_, GetLastError());
  if (ReplaceFileA(target_.c_str(), path_.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                   nullptr))
    return gone_ = true;
  const DWORD error = GetLastError();
  if (GetFileAttributesA(target_.c_str()) == INVALID_FILE_ATTRIBUTES &&
      GetLastError() == ERROR_FILE_NOT_FOUND) {
    // The platform took the old file away and could not rename the copy: the copy is
    // now the only whole file, and must end up in place or be kept.
    if (MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH)) return gone_ = true;
    gone_ = true;
    throw Failure::format("Unable to write to %s: %s; the updated file is %s", target_, system_reason(error),
                          path_);
  }
  // Opened by another program meanwhile: written over where it stands.
  return write_in_place(original, bytes);
}

bool WorkingCopy::write_in_place(const FileContents& original, const std::string& bytes) {
  const FileHandle file(CreateFileA(target_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) fail_to_write(target_, GetLastError());
  const std::string& old = original.bytes;
  if (read_all(file.get(), target_) != old) return false;
  // The part past the old end goes first: a full disk stops the write there, before
  // any old byte is written over. The rest lands on room the file already has.
  if (bytes.size() > old.size()) {
    const DWORD error = write_at(file.get(), old.size(), std::string_view(bytes).substr(old.size()));
    if (error != ERROR_SUCCESS) {
      cut_at(file.get(), old.size());
      fail_to_write(target_, error);
    }
  }
  DWORD error = write_at(file.get(), 0, std::string_view(bytes).substr(0, old.size()));
  if (error == ERROR_SUCCESS && bytes.size() < old.size() && !cut_at(file.get(), bytes.size()))
    error = GetLastError();
  if (error == ERROR_SUCCESS && !FlushFileBuffers(file.get())) error = GetLastError();
  if (error != ERROR_SUCCESS) {
    // The old bytes go back where they were.
    write_at(file.get(), 0, old);
    cut_at(file.get(), old.size());
    FlushFileBuffers(file.get());
    fail_to_write(target_, error);
  }
  return true;
}

}  // namespace ulvane::config
