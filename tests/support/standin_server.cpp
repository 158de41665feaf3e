#include "support/standin_server.h"

#include <cstdlib>
#include <stdexcept>

#include "common/utf8.h"
#include "common/wire.h"
#include "support/library.h"
#include "support/process.h"

namespace ulvane::test {
namespace {

HANDLE open_null(DWORD access) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
}

// The first line the server prints: its port. Empty if it ended without one.
std::string read_first_line(HANDLE pipe) {
  std::string line;
  char c;
  DWORD got = 0;
  while (ReadFile(pipe, &c, 1, &got, nullptr) && got == 1 && c != '\n') line.push_back(c);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The server beside the test program, or the one ULVANE_STANDIN_SERVER names: it talks
// over TCP only, so a 32-bit test can use the 64-bit server where 32-bit programs are slow.
std::string server_program() {
  const char* chosen = std::getenv("ULVANE_STANDIN_SERVER");
  return chosen && *chosen ? chosen : beside_this_program("standin-server.exe");
}

}  // namespace

StandinServer::StandinServer(const Options& options) {
  std::string command = quoted(server_program());
  command.append(" --port 0 --store ").append(quoted(scratch_.file("store")));
  command.append(" --journal ").append(quoted(scratch_.file("journal.txt")));
  command.append(" --lifetime ").append(std::to_string(options.lifetime_seconds));
  command.append(" --parent ").append(std::to_string(options.parent));
  if (!options.namespaces.empty()) {
    std::string list;
    for (const std::string& name : options.namespaces) list.append(list.empty() ? "" : ",").append(name);
    command.append(" --namespaces ").append(quoted(list));
  }
  if (!options.drop_on.empty()) command.append(" --drop-on ").append(quoted(options.drop_on));

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  CreatePipe(&out_read, &out_write, &inherit, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  // Nothing of the test's own standard handles reaches the server: a runner reading
  // them must never wait on a server that outlives a test.
  HANDLE null_in = open_null(GENERIC_READ);
  HANDLE null_err = open_null(GENERIC_WRITE);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out_write;
  startup.hStdError = null_err;
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &process);
  CloseHandle(out_write);
  CloseHandle(null_in);
  CloseHandle(null_err);
  if (!started) {
    CloseHandle(out_read);
    std::string message = "cannot start ";
    throw std::runtime_error(message.append(command));
  }
  CloseHandle(process.hThread);
  process_ = process.hProcess;
  std::string line = read_first_line(out_read);
  CloseHandle(out_read);
  unsigned long port = std::strtoul(line.c_str(), nullptr, 10);
  if (port == 0 || port > 65535) {
    finish(0);
    std::string message = "the stand-in server printed no port: ";
    throw std::runtime_error(message.append(command));
  }
  port_ = static_cast<unsigned short>(port);
}

StandinServer::~StandinServer() {
  stop();
}

std::string StandinServer::address() const {
  std::string text = "cn_iptcp:";
  return text.append(host()).append("[").append(port_text()).append("]");
}

std::string StandinServer::write_file(const std::string& name, const std::string& bytes) const {
  std::string path = scratch_.file(name);
  HANDLE file =
      CreateFileW(standin::widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::string message = "cannot write ";
    throw std::runtime_error(message.append(path));
  }
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return path;
}

std::string StandinServer::journal() const {
  return read_file(scratch_.file("journal.txt")).value_or("");
}

std::optional<std::string> StandinServer::routine(const std::string& name_space,
                                                  const std::string& name) const {
  return read_file(scratch_.file("store\\") + name_space + "\\" + name + ".rtn");
}

unsigned long StandinServer::stop() {
  if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    standin::WinsockSession winsock;
    standin::Connected connection = standin::connect_tcp(host(), port_text());
    if (connection.socket) standin::exchange(connection.socket, "stop", "");
  }
  return finish(30000);
}

unsigned long StandinServer::wait_for_exit() {
  return finish(60000);
}

unsigned long StandinServer::finish(DWORD wait_ms) {
  unsigned long code = 0;
  if (process_) {
    // A server that does not stop is ended, so it never outlives the test.
    if (WaitForSingleObject(process_, wait_ms) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
    WaitForSingleObject(process_, INFINITE);
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
  }
  return code;
}

// A port the system hands out for a socket that is bound and never listens.
ClosedPort::ClosedPort() : socket_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (!socket_ || bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("cannot hold a loopback port");
  text_ = std::to_string(ntohs(address.sin_port));
}

std::optional<std::string> read_file(const std::string& path) {
  HANDLE file =
      CreateFileW(standin::widen(path).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

}  // namespace ulvane::test
