#include "trace/trace_file.h"

#include <aclapi.h>
#include <sddl.h>

#include <utility>

#include "common/owner.h"
#include "ulvane.h"

namespace ulvane {
namespace {

// The format's version changes whenever a reader would have to read a line otherwise.
constexpr std::string_view kHeader = ULVANE_TRACE_HEADER "\r\n";
constexpr std::string_view kLineEnd = "\r\n";

// Append-only (no FILE_WRITE_DATA): every write lands at the end of the file as it is
// then. Reading serves the lock, the header and the last line end.
constexpr DWORD kAccess = FILE_APPEND_DATA | FILE_READ_DATA;
constexpr DWORD kSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A reparse point is opened as itself, never followed, so that it can be refused.
constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kLockOffsetHigh = 0x7fffffff;

using TokenHandle = Owner<HANDLE, &CloseHandle>;

bool full_path(const std::wstring& path) {
  auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  // \\server\share\..., \\?\... and \\.\...
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
  const wchar_t drive = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20);
  return path.size() >= 3 && drive >= L'a' && drive <= L'z' && path[1] == L':' && separator(path[2]);
}

// The calling user's TOKEN_USER (the thread's own account when it impersonates one),
// or the empty text when it cannot be read.
std::string calling_user() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return std::string();
  TokenHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::string();
  return buffer;
}

PSID user_sid(const std::string& user) {
  return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

// Full access for the calling user and for Administrators, nobody else, and nothing
// inherited from the folder: arguments can carry passwords.
LocalMemory owner_only_descriptor() {
  const std::string user = calling_user();
  char* sid = nullptr;
  if (user.empty() || !ConvertSidToStringSidA(user_sid(user), &sid)) return LocalMemory();
  LocalMemory owned_sid(sid);
  const std::string sddl = "D:P(A;;FA;;;" + std::string(sid) + ")(A;;FA;;;BA)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return LocalMemory();
  return LocalMemory(descriptor);
}

bool owned_by_caller_or_administrators(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  LocalMemory owned(descriptor);
  if (!owner || !IsValidSid(owner)) return false;
  // Files an elevated administrator makes belong to Administrators, not to the account.
  if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
  const std::string user = calling_user();
  return !user.empty() && EqualSid(owner, user_sid(user));
}

// A file that was there already is written only when it is one a trace could have made:
// one plain file under one name, its owner's (or Administrators'); its header is
// checked under the lock.
TraceFileProblem existing_file_problem(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file, &information) || GetFileType(file) != FILE_TYPE_DISK ||
      (information.dwFileAttributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)))
    return TraceFileProblem::kNotPlainFile;
  if (information.nNumberOfLinks != 1) return TraceFileProblem::kSeveralLinks;
  if (!owned_by_caller_or_administrators(file)) return TraceFileProblem::kForeignOwner;
  return TraceFileProblem::kNone;
}

struct OpenedTrace {
  FileHandle file;
  TraceFileCheck check;
};

OpenedTrace open_existing(const std::wstring& path) {
  FileHandle file(
      CreateFileW(path.c_str(), kAccess | READ_CONTROL, kSharing, nullptr, OPEN_EXISTING, kFlags, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    // A folder opens for nobody without backup semantics: say what it is.
    const DWORD attributes = error == ERROR_ACCESS_DENIED ? GetFileAttributesW(path.c_str()) : 0;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return {FileHandle(), {TraceFileProblem::kNotPlainFile}};
    return {FileHandle(), {TraceFileProblem::kCannotOpen, error}};
  }
  const TraceFileProblem problem = existing_file_problem(file.get());
  if (problem != TraceFileProblem::kNone) return {FileHandle(), {problem}};
  return {std::move(file), {}};
}

OpenedTrace open_trace_file(const std::wstring& path) {
  if (!full_path(path)) return {FileHandle(), {TraceFileProblem::kRelativePath}};
  OpenedTrace existing = open_existing(path);
  if (existing.check.problem != TraceFileProblem::kCannotOpen || existing.check.error != ERROR_FILE_NOT_FOUND)
    return existing;
  // Without the restricted access list the file is not made.
  LocalMemory descriptor = owner_only_descriptor();
  if (!descriptor) return {FileHandle(), {TraceFileProblem::kCannotMake, GetLastError()}};
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  FileHandle made(CreateFileW(path.c_str(), kAccess, kSharing, &attributes, CREATE_NEW, kFlags, nullptr));
  if (made) return {std::move(made), {}};
  const DWORD error = GetLastError();
  // Another writer made it meanwhile: it is checked as any file that was there.
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return open_existing(path);
  return {FileHandle(), {TraceFileProblem::kCannotMake, error}};
}

bool read_at(HANDLE file, ULONGLONG offset, std::string& bytes) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  return ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, &at) && read == bytes.size();
}

// Under the lock, so that no other writer comes between: what the line must follow.
// The header when the file is empty; a line end when the last line was cut short (a
// write that failed halfway, a writer killed), so the new line does not fuse with it.
// False when the file does not start with the header.
bool lead_in(HANDLE file, std::string& lead) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return false;
  if (size.QuadPart == 0) {
    lead = kHeader;
    return true;
  }
  std::string start(kHeader.size(), '\0');
  std::string end(kLineEnd.size(), '\0');
  if (static_cast<ULONGLONG>(size.QuadPart) < kHeader.size() || !read_at(file, 0, start) ||
      start != kHeader || !read_at(file, size.QuadPart - end.size(), end))
    return false;
  if (end != kLineEnd) lead = kLineEnd;
  return true;
}

// Opens the trace as a line is written, and writes line when it is given.
TraceFileCheck use_trace_file(const std::wstring& path, const std::string_view* line) {
  OpenedTrace opened = open_trace_file(path);
  if (!opened.file) return opened.check;
  // An append is one indivisible write on a local NTFS volume, but not on every file
  // system a trace may be put on (a network share; Wine's, seen to lose lines of
  // processes writing at once), and the header and line end are decided by what the
  // file holds: writers take turns on a lock of one byte far past any end of the file,
  // which no reader ever touches. Without the lock nothing is written.
  OVERLAPPED lock_at{};
  lock_at.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(opened.file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock_at))
    return {TraceFileProblem::kCannotLock, GetLastError()};
  std::string text;
  if (!lead_in(opened.file.get(), text)) {
    opened.check.problem = TraceFileProblem::kNoHeader;
  } else if (line) {
    text += *line;
    DWORD written = 0;
    WriteFile(opened.file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  UnlockFileEx(opened.file.get(), 0, 1, 0, &lock_at);
  return opened.check;
}

}  // namespace

void append_trace_line(const std::wstring& path, std::string_view line) noexcept {
  try {
    use_trace_file(path, &line);
  } catch (...) {
  }
}

TraceFileCheck check_trace_file(const std::wstring& path) noexcept {
  try {
    return use_trace_file(path, nullptr);
  } catch (...) {
    return {TraceFileProblem::kCannotOpen, ERROR_NOT_ENOUGH_MEMORY};
  }
}

}  // namespace ulvane
