// The control's connection to the stand-in server: the MServer address, the
// socket, and one request at a time.
#pragma once

#include <optional>
#include <string>

#include "common/wire.h"

namespace standin {

class ServerLink {
public:
  // Connects to "cn_iptcp:host[port]"; on failure, the error text names the address and the reason.
  std::optional<std::string> connect(const std::string& address);
  void disconnect() { socket_.reset(); }
  bool connected() const { return static_cast<bool>(socket_); }

  // Sends one request on a connected link and returns the server's answer; nothing when
  // the connection broke on the way, which leaves the link disconnected.
  std::optional<Answer> request(std::string_view verb, std::string_view payload);

private:
  Socket socket_;
};

}  // namespace standin
