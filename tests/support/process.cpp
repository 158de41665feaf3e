#include "support/process.h"

#include <windows.h>

#include <stdexcept>
#include <thread>

namespace ulvane::test {
namespace {

struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  Pipe() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read, &write, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  }
  ~Pipe() {
    if (read) CloseHandle(read);
    if (write) CloseHandle(write);
  }
  void close_write() {
    CloseHandle(write);
    write = nullptr;
  }
};

std::string drain(HANDLE handle) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

}  // namespace

ProcessResult run_process(const std::string& command_line, const std::string& directory) {
  Pipe out;
  Pipe err;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.write;
  startup.hStdError = err.write;
  PROCESS_INFORMATION process{};
  std::string line = command_line;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup, &process))
    throw std::runtime_error("cannot start: " + command_line);
  out.close_write();
  err.close_write();

  ProcessResult result;
  std::thread err_reader([&] { result.err = drain(err.read); });
  result.out = drain(out.read);
  err_reader.join();
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

std::string quoted(const std::string& text) {
  std::string result(1, '"');
  return result.append(text).append(1, '"');
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  if (size > 0) {
    std::string old(size, '\0');
    old.resize(GetEnvironmentVariableA(name, old.data(), size));
    old_ = old;
  }
  SetEnvironmentVariableA(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
  SetEnvironmentVariableA(name_.c_str(), old_ ? old_->c_str() : nullptr);
}

}  // namespace ulvane::test
