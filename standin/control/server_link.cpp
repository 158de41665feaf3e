#include "server_link.h"

namespace standin {
namespace {

constexpr std::string_view kScheme = "cn_iptcp:";

// Windows Sockets stay started while the module is loaded, not per instance: Wine's
// WSACleanup closes every socket of the process when its count reaches zero, and
// instances that start and clean up on several threads at once can bring it there
// while another instance's socket is in use.
const WinsockSession& winsock() {
  static WinsockSession session;
  return session;
}

}  // namespace

std::optional<std::string> ServerLink::connect(const std::string& address) {
  disconnect();
  std::string failure = "cannot connect to ";
  failure.append(address).append(": ");
  size_t open = address.rfind('[');
  if (address.rfind(kScheme, 0) != 0 || open == std::string::npos || address.back() != ']' ||
      open < kScheme.size())
    return failure.append("not an address of the form cn_iptcp:host[port]");
  std::string host = address.substr(kScheme.size(), open - kScheme.size());
  std::string port = address.substr(open + 1, address.size() - open - 2);
  if (host.empty() || port.empty()) return failure.append("host or port missing");
  if (!winsock().ready()) return failure.append("Windows Sockets are not available");
  Connected attempt = connect_tcp(host, port);
  if (!attempt.socket) return failure.append(attempt.error);
  socket_ = std::move(attempt.socket);
  return std::nullopt;
}

std::optional<Answer> ServerLink::request(std::string_view verb, std::string_view payload) {
  std::optional<Answer> answer = exchange(socket_, verb, payload);
  if (!answer) disconnect();
  return answer;
}

}  // namespace standin
