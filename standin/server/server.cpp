#include "server.h"

#include <ws2tcpip.h>

#include <chrono>

namespace standin {
namespace {

constexpr const char* kProtocolError = "<PROTOCOL> malformed request header";
// What a dropping server sends before it hangs up: the start of an answer header, no
// line end, so the client is left in the middle of reading a line.
constexpr std::string_view kDroppedAnswer = "ok ";

}  // namespace

Server::~Server() {
  stop_all();
}

void Server::serve(unsigned lifetime_seconds, HANDLE parent) {
  // Not GetTickCount64: under Wine it can lag by seconds when a process starts.
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(lifetime_seconds);
  while (!stop_requested_ && (!lifetime_seconds || Clock::now() < deadline) &&
         (!parent || WaitForSingleObject(parent, 0) == WAIT_TIMEOUT)) {
    join_finished();
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener_.get(), &readable);
    timeval wait{0, 100 * 1000};  // short, so a stop request or the deadline is noticed soon
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    Socket accepted(accept(listener_.get(), nullptr, nullptr));
    if (!accepted) continue;
    auto connection = std::make_unique<Connection>();
    connection->socket = std::move(accepted);
    Connection& added = *connection;
    std::lock_guard lock(connections_mutex_);
    connections_.push_back(std::move(connection));
    added.thread = std::thread([this, &added] { converse(added); });
  }
  stop_all();
}

// Reads a client's requests through a buffer, waiting in short steps so that a stop
// is never held up by a client that stays connected and silent, even mid-request.
class Server::Reader {
public:
  Reader(const Socket& socket, const std::atomic<bool>& stop) : socket_(socket), stop_(stop) {}

  std::optional<std::string> line() {
    std::string text;
    for (;;) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        text = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return text;
      }
      if (buffer_.size() > kMaxHeader || !fill()) return std::nullopt;
    }
  }

  std::optional<std::string> bytes(size_t count) {
    while (buffer_.size() < count)
      if (!fill()) return std::nullopt;
    std::string text = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return text;
  }

private:
  bool fill() {
    while (!stop_) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(socket_.get(), &readable);
      timeval wait{0, 100 * 1000};
      int ready = select(0, &readable, nullptr, nullptr, &wait);
      if (ready < 0) return false;
      if (ready == 0) continue;
      char chunk[65536];
      int got = recv(socket_.get(), chunk, sizeof chunk, 0);
      if (got <= 0) return false;
      buffer_.append(chunk, got);
      return true;
    }
    return false;
  }

  const Socket& socket_;
  const std::atomic<bool>& stop_;
  std::string buffer_;
};

void Server::converse(Connection& connection) {
  Session session(setup_);
  const Socket& socket = connection.socket;
  Reader reader(socket, stop_requested_);
  while (std::optional<std::string> line = reader.line()) {
    std::optional<RequestHeader> header = parse_request_header(*line);
    if (!header) {
      // The stream cannot be trusted past a broken header: answer once and hang up.
      socket.send_all(encode_answer(Answer{false, kProtocolError, ValueKind::Undefined, ""}));
      break;
    }
    std::optional<std::string> payload = reader.bytes(header->size);
    if (!payload) break;
    if (header->verb == "run" && !setup_.drop_on.empty() &&
        payload->find(setup_.drop_on) != std::string::npos) {
      session.journal(*payload);
      socket.send_all(kDroppedAnswer);
      break;
    }
    Answer answer;
    if (header->verb == "run") {
      answer = session.run(*payload);
    } else if (header->verb == "ns") {
      answer = session.select_namespace(*payload);
    } else if (header->verb == "stop") {
      stop_requested_ = true;
    } else {
      std::string error = "<PROTOCOL> unknown request \"";
      answer = Answer{false, error.append(header->verb).append("\""), ValueKind::Undefined, ""};
    }
    if (!socket.send_all(encode_answer(answer))) break;
  }
  // Hang up now rather than when the thread is joined, so the client sees the end at once.
  shutdown(socket.get(), SD_BOTH);
  connection.finished = true;
}

void Server::join_finished() {
  std::lock_guard lock(connections_mutex_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::stop_all() {
  stop_requested_ = true;
  listener_.reset();
  std::lock_guard lock(connections_mutex_);
  // Connection threads notice the stop between requests and finish.
  for (auto& connection : connections_)
    if (connection->thread.joinable()) connection->thread.join();
  connections_.clear();
}

Socket listen_on_loopback(unsigned short port, std::string& error) {
  Socket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), SOMAXCONN) != 0) {
    error = socket_error_text(WSAGetLastError());
    return Socket();
  }
  return listener;
}

unsigned short bound_port(const Socket& listener) {
  sockaddr_in address{};
  int size = sizeof address;
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

}  // namespace standin
