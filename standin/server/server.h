// The listening side: accepts connections on loopback, serves each on its own
// thread, and stops on a "stop" request or when its time is up.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "common/wire.h"
#include "session.h"

namespace standin {

class Server {
public:
  Server(Socket listener, ServerSetup setup) : listener_(std::move(listener)), setup_(std::move(setup)) {}
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves until stopped, until the time is up (0 seconds: no limit) or until the
  // parent process (if any) has ended.
  void serve(unsigned lifetime_seconds, HANDLE parent);

private:
  struct Connection {
    Socket socket;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  class Reader;
  void converse(Connection& connection);
  void join_finished();
  void stop_all();

  Socket listener_;
  ServerSetup setup_;
  std::atomic<bool> stop_requested_{false};
  std::mutex connections_mutex_;
  std::list<std::unique_ptr<Connection>> connections_;
};

// Binds a loopback listener; port 0 lets the system pick one.
Socket listen_on_loopback(unsigned short port, std::string& error);
unsigned short bound_port(const Socket& listener);

}  // namespace standin
