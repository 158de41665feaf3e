#include "exports/trace_file.h"

#include <windows.h>
#include <sddl.h>

#include "common/owner.h"

namespace ulvane {
namespace {

constexpr const char* kHeader =
    "# Ulvane trace: time\tprocess\tthread\texport\targuments\tresult\tmilliseconds\tfailure\r\n";

constexpr DWORD kLockOffsetHigh = 0x7fffffff;

using TokenHandle = Owner<HANDLE, &CloseHandle>;

// The account the file is made for: the thread's own when it impersonates one.
std::string calling_user_sid() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return std::string();
  TokenHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string buffer(size, '\0');
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::string();
  char* text = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
    return std::string();
  LocalMemory owned_text(text);
  return text;
}

// Full access for the calling user and for Administrators, nobody else, and nothing
// inherited from the folder: arguments can carry passwords.
LocalMemory owner_only_descriptor() {
  const std::string user = calling_user_sid();
  if (user.empty()) return LocalMemory();
  const std::string sddl = "D:P(A;;FA;;;" + user + ")(A;;FA;;;BA)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return LocalMemory();
  return LocalMemory(descriptor);
}

}  // namespace

void append_trace_line(const std::string& path, const std::string& line) noexcept {
  try {
    // Without the restricted rights the file is not made; one that exists is used as it is.
    LocalMemory descriptor = owner_only_descriptor();
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    auto open = [&](DWORD access) {
      return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         descriptor ? &attributes : nullptr, descriptor ? OPEN_ALWAYS : OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    // Append-only access (no FILE_WRITE_DATA): every write lands at the end of the file
    // as it is then. Reading is asked for only because a lock needs it.
    HANDLE handle = open(FILE_APPEND_DATA | FILE_READ_DATA);
    DWORD opened = GetLastError();
    if (handle == INVALID_HANDLE_VALUE && opened == ERROR_ACCESS_DENIED) {
      handle = open(FILE_APPEND_DATA);
      opened = GetLastError();
    }
    FileHandle file(handle);
    if (!file) return;
    const bool made_here = descriptor && opened != ERROR_ALREADY_EXISTS;
    const std::string text = made_here ? kHeader + line : line;
    // An append is one indivisible write on a local NTFS volume, but not on every file
    // system a trace may be put on (a network share; Wine's, seen to lose lines of
    // processes writing at once): writers take turns on a lock of one byte far past
    // any end of the file, which no reader ever touches.
    OVERLAPPED lock_at{};
    lock_at.OffsetHigh = kLockOffsetHigh;
    const bool locked = LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock_at);
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    if (locked) UnlockFileEx(file.get(), 0, 1, 0, &lock_at);
  } catch (...) {
  }
}

}  // namespace ulvane
