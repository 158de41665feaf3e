// A stand-in server for one test or suite: its own port, store and journal in a
// scratch directory. Started under Wine by the constructor; stopped (and the
// directory removed) by the destructor, on every path.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/wire.h"
#include "support/scratch_directory.h"

namespace ulvane::test {

class StandinServer {
public:
  struct Options {
    std::vector<std::string> namespaces;   // empty: the server's own default (USER, %SYS, ULV)
    unsigned lifetime_seconds = 120;       // the server stops by itself after this...
    DWORD parent = GetCurrentProcessId();  // ...or when this process ends, should a test die
    std::string drop_on{};                 // the server hangs up on a line holding this (no quotes)
  };

  StandinServer() : StandinServer(Options{}) {}
  explicit StandinServer(const Options& options);
  ~StandinServer();
  StandinServer(const StandinServer&) = delete;
  StandinServer& operator=(const StandinServer&) = delete;

  unsigned short port() const { return port_; }
  DWORD process_id() const { return GetProcessId(process_); }
  std::string port_text() const { return std::to_string(port_); }
  std::string host() const { return "127.0.0.1"; }
  std::string address() const;  // "cn_iptcp:127.0.0.1[port]", what MServer takes

  // The scratch directory (Windows path, no trailing backslash); files to load may go here.
  // Names and paths here are UTF-8, as the server reads them off the wire.
  const std::string& directory() const { return scratch_.path(); }
  std::string write_file(const std::string& name, const std::string& bytes) const;
  std::string journal() const;
  // A saved routine's bytes, or nothing when the server did not save it.
  std::optional<std::string> routine(const std::string& name_space, const std::string& name) const;

  // Asks the server to stop and waits for it; its exit code (the destructor does
  // this too). The directory stays until the object goes.
  unsigned long stop();
  // Waits for the server to end by itself (bounded, so a test cannot hang); its exit code.
  unsigned long wait_for_exit();

private:
  unsigned long finish(DWORD wait_ms);

  ScratchDirectory scratch_;  // outlives the process, which is stopped first
  HANDLE process_ = nullptr;
  unsigned short port_ = 0;
};

// A loopback port that nothing listens on, for as long as this object lives: its socket
// is bound and never listens, so connections are refused, and no server that other
// tests start meanwhile can be given the port (which a port merely freed allows).
class ClosedPort {
public:
  ClosedPort();
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;
  const std::string& text() const { return text_; }

private:
  standin::WinsockSession winsock_;
  standin::Socket socket_;
  std::string text_;
};

// Reads a whole file named by a UTF-8 path; nothing if it cannot be opened.
std::optional<std::string> read_file(const std::string& path);

}  // namespace ulvane::test
