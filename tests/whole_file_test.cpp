// UpdateCpf never leaves a configuration file cut or half-written: whatever fails, the
// path holds the old file or the new one, nothing else is left in its folder, and the
// trace says why it failed. Also a child mode of its own, for the cases that must end
// the process or fill a volume:
//   whole_file_test --end-at-second-write FILE
//   whole_file_test --full-volume FOLDER
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "common/system_message.h"
#include "support/child_mode.h"
#include "support/import_hook.h"
#include "support/library.h"
#include "support/process.h"
#include "support/scratch_directory.h"
#include "support/shared_texts.h"
#include "support/trace_lines.h"

using namespace ulvane::test;
using ulvane::system_message;

namespace {

using WriteProfile = BOOL(WINAPI*)(const char*, const char*, const char*, const char*);

const std::string kBefore =
    crlf_lines({"[Startup]", "DefaultPort=1972", "[Namespaces]", "Nsp_1=USER,USER", "[CSP.Applications]",
                "CSPApp_1=/csp/user,x", "[Devices]", "47=47,SDP"});
const std::string kAfter =
    crlf_lines({"[Startup]", "DefaultPort=1972", "[Namespaces]", "Nsp_1=USER,USER", "Nsp_2=" + kNsp,
                "[CSP.Applications]", "CSPApp_1=/csp/user,x", "CSPApp_2=" + kApp, "[Devices]", "47=47,SDP"});

std::set<std::string> names_in(const std::string& folder) {
  std::set<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::strcmp(entry.cFileName, ".") != 0 && std::strcmp(entry.cFileName, "..") != 0)
      names.insert(entry.cFileName);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return names;
}

std::string failure_text(DWORD error) {
  return system_message(error);
}

// The failure UpdateCpf's trace line gives for path, with the trace on for one call.
struct TracedUpdate {
  int result;
  std::string failure;
};

TracedUpdate traced_update(const ScratchDirectory& traces, const char* path) {
  static int count = 0;
  const std::string trace_file = traces.file("trace" + std::to_string(++count) + ".txt");
  ScopedEnvironment trace(ULVANE_TRACE_VARIABLE, trace_file.c_str());
  const int result = library().UpdateCpf(path);
  const Trace lines = read_trace(trace_file);
  return {result, lines.calls.empty() ? "<no line>" : lines.calls.back().field(kFailure)};
}

// The DLL's own WritePrivateProfileStringA goes to the hook's function for its life.
class ProfileWriteHook {
public:
  using Action = std::function<BOOL(WriteProfile, const char*, const char*, const char*, const char*)>;
  explicit ProfileWriteHook(Action action)
      : action_(std::move(action)),
        hook_(library_module(), "kernel32.dll", "WritePrivateProfileStringA",
              reinterpret_cast<void*>(&divert)) {
    current_ = this;
  }
  ~ProfileWriteHook() { current_ = nullptr; }
  int calls = 0;

private:
  static BOOL WINAPI divert(const char* section, const char* key, const char* value, const char* file) {
    ++current_->calls;
    return current_->action_(current_->hook_.original<WriteProfile>(), section, key, value, file);
  }
  static inline ProfileWriteHook* current_ = nullptr;
  Action action_;
  ImportHook hook_;
};

void append_to(const std::string& path, const std::string& text) {
  HANDLE file =
      CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

void cut_to_half(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  SetFilePointer(file, static_cast<LONG>(GetFileSize(file, nullptr) / 2), nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  CloseHandle(file);
}

std::string dacl_text(const std::string& path) {
  DWORD size = 0;
  GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::string descriptor(size, '\0');
  if (!size || !GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size))
    return "<unreadable>";
  char* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                       DACL_SECURITY_INFORMATION, &text, nullptr);
  std::string result = text ? text : "<none>";
  LocalFree(text);
  return result;
}

class WholeFile : public ::testing::Test {
protected:
  ScratchDirectory dir;  // holds the configuration file and nothing else
  ScratchDirectory traces;
  std::string path = dir.write("cache.cpf", kBefore);

  // UpdateCpf of target gives 0, and its trace line says why in the system's words.
  void expect_unable_to_write(const std::string& target, DWORD error) {
    const TracedUpdate update = traced_update(traces, target.c_str());
    EXPECT_EQ(update.result, 0);
    EXPECT_EQ(update.failure, trace_text("Unable to write to " + target + ": " + failure_text(error)));
  }

  void expect_only_the_file(const std::string& bytes) {
    EXPECT_EQ(dir.read("cache.cpf"), bytes);
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"cache.cpf"});
  }
};

}  // namespace

TEST_F(WholeFile, AFailureLeavesTheFileAsItWasWithItsReason) {
  struct Row {
    const char* label;
    std::function<void()> arrange;
    ProfileWriteHook::Action write;  // null: the platform's own
    DWORD error;                     // whose system text the failure ends with
    std::function<void()> undo;
  };
  HANDLE held = INVALID_HANDLE_VALUE;
  const Row rows[] = {
      {"a write cut short that reports success", nullptr,
       [](WriteProfile write, const char* s, const char* k, const char* v, const char* f) {
         const BOOL ok = write(s, k, v, f);
         cut_to_half(f);
         SetLastError(ERROR_DISK_FULL);
         return ok;
       },
       ERROR_DISK_FULL, nullptr},
      {"the second write refused: the first is not kept either", nullptr,
       [calls = 0](WriteProfile write, const char* s, const char* k, const char* v,
                   const char* f) mutable -> BOOL {
         if (++calls == 2) {
           SetLastError(ERROR_DISK_FULL);
           return FALSE;
         }
         return write(s, k, v, f);
       },
       ERROR_DISK_FULL, nullptr},
      {"held open by another program that shares nothing",
       [&] {
         held =
             CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
       },
       nullptr, ERROR_SHARING_VIOLATION, [&] { CloseHandle(held); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    if (row.arrange) row.arrange();
    {
      std::optional<ProfileWriteHook> hook;
      if (row.write) hook.emplace(row.write);
      expect_unable_to_write(path, row.error);
    }
    if (row.undo) row.undo();
    expect_only_the_file(kBefore);
  }
}

TEST_F(WholeFile, NoFileNamedMakesNoFile) {
  const std::set<std::string> windows_before = names_in("C:\\windows");
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(name ? "empty" : "null");
    const TracedUpdate update = traced_update(traces, name);
    EXPECT_EQ(update.result, 0);
    EXPECT_EQ(update.failure, trace_text("No configuration file was named"));
  }
  EXPECT_EQ(names_in("C:\\windows"), windows_before);
}

TEST_F(WholeFile, AMissingFolderGetsNoFile) {
  expect_unable_to_write(dir.file("no folder\\cache.cpf"), ERROR_PATH_NOT_FOUND);
  expect_only_the_file(kBefore);
}

// What belongs to the file stays with it: the file is replaced by a copy that takes
// its attributes and access list, or, when it cannot be replaced (other names, held
// open without delete sharing), written over where it stands.
TEST_F(WholeFile, TheFileKeepsWhatBelongsToIt) {
  HANDLE held = INVALID_HANDLE_VALUE;
  const std::string other_name = dir.file("other name.cpf");
  struct Row {
    const char* label;
    std::function<void()> arrange;
    std::function<void()> check_and_undo;
  };
  const Row rows[] = {
      {"held open with every sharing",
       [&] {
         held =
             CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
       },
       [&] { CloseHandle(held); }},
      {"held open without delete sharing",
       [&] {
         held = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
       },
       [&] { CloseHandle(held); }},
      {"a second name", [&] { ASSERT_TRUE(CreateHardLinkA(other_name.c_str(), path.c_str(), nullptr)); },
       [&] {
         EXPECT_EQ(dir.read("other name.cpf"), kAfter);
         DeleteFileA(other_name.c_str());
       }},
      {"hidden and system",
       [&] { SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM); },
       [&] {
         EXPECT_EQ(GetFileAttributesA(path.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
                   DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
         SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    dir.write("cache.cpf", kBefore);
    row.arrange();
    const TracedUpdate update = traced_update(traces, path.c_str());
    EXPECT_EQ(update.result, 1);
    EXPECT_EQ(update.failure, "");
    EXPECT_EQ(dir.read("cache.cpf"), kAfter);
    row.check_and_undo();
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"cache.cpf"});
  }
}

// Wine answers a file's access list from its Unix mode and keeps none it is given,
// so what is checked is the list the DLL makes the new file with.
using CreateFileFunction = HANDLE(WINAPI*)(const char*, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD,
                                           HANDLE);
const ImportHook* create_hook = nullptr;
std::string* made_with = nullptr;

HANDLE WINAPI record_access_list(const char* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                                 DWORD disposition, DWORD flags, HANDLE model) {
  char* text = nullptr;
  if (disposition == CREATE_NEW && security && security->lpSecurityDescriptor &&
      ConvertSecurityDescriptorToStringSecurityDescriptorA(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text, nullptr)) {
    *made_with = text;
    LocalFree(text);
  }
  return create_hook->original<CreateFileFunction>()(path, access, share, security, disposition, flags,
                                                     model);
}

TEST_F(WholeFile, TheNewFileIsMadeWithTheOldOnesAccessList) {
  const std::string expected = dacl_text(path);
  ASSERT_NE(expected, "<unreadable>");
  std::string applied = "<made without one>";
  made_with = &applied;
  ImportHook hook(library_module(), "kernel32.dll", "CreateFileA",
                  reinterpret_cast<void*>(&record_access_list));
  create_hook = &hook;
  EXPECT_EQ(library().UpdateCpf(path.c_str()), 1);
  EXPECT_EQ(applied, expected);
  expect_only_the_file(kAfter);
}

// A folder where the process may change the file but not add one (a narrow access
// list), shown by refusing the DLL any new file there.
const std::string* refusing_folder = nullptr;

HANDLE WINAPI refuse_new_files(const char* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                               DWORD disposition, DWORD flags, HANDLE model) {
  if (disposition == CREATE_NEW && std::string(path).rfind(*refusing_folder + "\\", 0) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return create_hook->original<CreateFileFunction>()(path, access, share, security, disposition, flags,
                                                     model);
}

TEST_F(WholeFile, AFolderThatTakesNoNewFileHasTheFileWrittenWhereItStands) {
  refusing_folder = &dir.path();
  ImportHook hook(library_module(), "kernel32.dll", "CreateFileA",
                  reinterpret_cast<void*>(&refuse_new_files));
  create_hook = &hook;
  char temporary[MAX_PATH + 1] = "";
  GetTempPathA(sizeof temporary, temporary);
  // Only this process's working copies ("ulvane-<process in hex>-..."): the suites that
  // share the prefix make and remove folders of their own there meanwhile.
  char own_start[32] = "";
  std::snprintf(own_start, sizeof own_start, "ulvane-%lx-", GetCurrentProcessId());
  const auto own_copies = [&] {
    std::set<std::string> copies;
    for (const std::string& name : names_in(temporary))
      if (name.rfind(own_start, 0) == 0) copies.insert(name);
    return copies;
  };
  const std::set<std::string> copies_before = own_copies();
  EXPECT_EQ(library().UpdateCpf(path.c_str()), 1);
  expect_only_the_file(kAfter);
  EXPECT_EQ(own_copies(), copies_before);
  // A file that is not there yet cannot be made there either.
  expect_unable_to_write(dir.file("new.cpf"), ERROR_ACCESS_DENIED);
  expect_only_the_file(kAfter);
}

TEST_F(WholeFile, AnotherProgramsChangeMeanwhileIsKept) {
  const std::string change = crlf_lines({"[Other]", "Key=Value"});
  {
    // The change lands once, after the update has read the file.
    ProfileWriteHook hook(
        [&](WriteProfile write, const char* s, const char* k, const char* v, const char* f) {
          if (names_in(dir.path()).size() == 2 && dir.read("cache.cpf") == kBefore) append_to(path, change);
          return write(s, k, v, f);
        });
    EXPECT_EQ(library().UpdateCpf(path.c_str()), 1);
  }
  expect_only_the_file(kAfter + change);

  // A file that changes at every try is left with the other program's change.
  dir.write("cache.cpf", kBefore);
  std::string expected = kBefore;
  {
    ProfileWriteHook hook(
        [&](WriteProfile write, const char* s, const char* k, const char* v, const char* f) {
          const std::string line = "Change" + std::to_string(expected.size()) + "=1\r\n";
          append_to(path, line);
          expected += line;
          return write(s, k, v, f);
        });
    const TracedUpdate update = traced_update(traces, path.c_str());
    EXPECT_EQ(update.result, 0);
    EXPECT_EQ(update.failure,
              trace_text("Unable to write to " + path + ": another program kept changing it"));
  }
  expect_only_the_file(expected);
}

// Ended between its two writes, the process leaves the old file whole; the copy it was
// working on is removed by the next update in that folder.
TEST_F(WholeFile, AProcessEndedMidUpdateLeavesTheOldFile) {
  const ProcessResult child = run_process(child_command("--end-at-second-write", {path}));
  EXPECT_EQ(child.exit_code, 9u) << child.out << child.err;
  EXPECT_EQ(dir.read("cache.cpf"), kBefore);
  EXPECT_EQ(names_in(dir.path()).size(), 2u) << "the ended process's working copy";
  EXPECT_EQ(library().UpdateCpf(path.c_str()), 1);
  expect_only_the_file(kAfter);
}

namespace {

ImportHook* end_hook = nullptr;

BOOL WINAPI end_at_second_write(const char* section, const char* key, const char* value, const char* file) {
  static int calls = 0;
  if (++calls == 2) TerminateProcess(GetCurrentProcess(), 9);
  return end_hook->original<WriteProfile>()(section, key, value, file);
}

int end_mid_update(const char* path) {
  ImportHook hook(library_module(), "kernel32.dll", "WritePrivateProfileStringA",
                  reinterpret_cast<void*>(&end_at_second_write));
  end_hook = &hook;
  std::printf("UpdateCpf returned %d without being ended\n", library().UpdateCpf(path));
  return 1;
}

// A volume with no room left: a configuration file of 4,050 bytes on it, the rest
// filled. The file must stay whole, and the failure must say why.
int fill_and_update(const std::string& folder) {
  std::string text = "[Startup]\r\nDefaultPort=1972\r\n[Namespaces]\r\n";
  for (int number = 1; text.size() < 4050 - 20; ++number)
    text += "Nsp_" + std::to_string(number) + "=N,CACHELIB\r\n";
  text.resize(4050 - 2, 'x');
  text += "\r\n";
  const std::string path = folder + "\\cache.cpf";
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  HANDLE filler =
      CreateFileA((folder + "\\filler").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const std::string block(512, 'f');
  while (WriteFile(filler, block.data(), static_cast<DWORD>(block.size()), &written, nullptr) &&
         written > 0) {
  }
  CloseHandle(filler);

  ScratchDirectory traces;
  const TracedUpdate update = traced_update(traces, path.c_str());
  HANDLE read = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::string after(8192, '\0');
  DWORD got = 0;
  ReadFile(read, after.data(), static_cast<DWORD>(after.size()), &got, nullptr);
  CloseHandle(read);
  after.resize(got);
  const std::string expected_failure =
      trace_text("Unable to write to " + path + ": " + failure_text(ERROR_DISK_FULL));
  const std::set<std::string> names = names_in(folder);
  int failures = 0;
  auto check = [&](bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    failures += !ok;
  };
  check(update.result == 0, "UpdateCpf returned " + std::to_string(update.result) + ", expected 0");
  check(after == text, "the file holds " + std::to_string(after.size()) +
                           " bytes, as before: " + std::to_string(text.size()));
  check(update.failure == expected_failure,
        "the failure is " + update.failure + ", expected " + expected_failure);
  check(names == std::set<std::string>{"cache.cpf", "filler"},
        "nothing else in the folder (" + std::to_string(names.size()) + " names)");
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return run_child_or_tests(
      argc, argv,
      {{"--end-at-second-write",
        [](const std::vector<std::string>& a) { return end_mid_update(a.at(0).c_str()); }},
       {"--full-volume", [](const std::vector<std::string>& a) { return fill_and_update(a.at(0)); }}});
}
