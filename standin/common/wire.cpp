#include "wire.h"

#include <ws2tcpip.h>

#include <charconv>
#include <utility>

namespace standin {
namespace {

std::optional<size_t> parse_size(std::string_view text) {
  size_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::string_view next_word(std::string_view& text) {
  size_t blank = text.find(' ');
  std::string_view word = text.substr(0, blank);
  text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
  return word;
}

}  // namespace

std::string encode_request(std::string_view verb, std::string_view payload) {
  std::string message(verb);
  message.append(" ").append(std::to_string(payload.size())).append("\n");
  return message.append(payload);
}

std::optional<RequestHeader> parse_request_header(std::string_view line) {
  std::string_view verb = next_word(line);
  std::optional<size_t> size = parse_size(line);
  if (verb.empty() || !size || *size > kMaxPayload) return std::nullopt;
  return RequestHeader{std::string(verb), *size};
}

std::string encode_answer(const Answer& answer) {
  std::string message = answer.ok ? "ok " : "error ";
  message.append(kind_name(answer.p1_kind)).append(" ").append(std::to_string(answer.error.size()));
  message.append(" ").append(std::to_string(answer.p1.size())).append("\n");
  return message.append(answer.error).append(answer.p1);
}

const char* kind_name(ValueKind kind) {
  switch (kind) {
    case ValueKind::String:
      return "string";
    case ValueKind::Integer:
      return "integer";
    case ValueKind::Decimal:
      return "decimal";
    case ValueKind::Undefined:
      break;
  }
  return "undefined";
}

std::optional<ValueKind> kind_from_name(std::string_view name) {
  for (ValueKind kind : {ValueKind::Undefined, ValueKind::String, ValueKind::Integer, ValueKind::Decimal})
    if (name == kind_name(kind)) return kind;
  return std::nullopt;
}

WinsockSession::WinsockSession() {
  WSADATA data;
  ready_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockSession::~WinsockSession() {
  if (ready_) WSACleanup();
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    reset();
    handle_ = other.release();
  }
  return *this;
}

SOCKET Socket::release() {
  return std::exchange(handle_, INVALID_SOCKET);
}

void Socket::reset() {
  if (handle_ != INVALID_SOCKET) closesocket(std::exchange(handle_, INVALID_SOCKET));
}

bool Socket::send_all(std::string_view bytes) const {
  while (!bytes.empty()) {
    int chunk = static_cast<int>(std::min<size_t>(bytes.size(), 1 << 20));
    int sent = send(handle_, bytes.data(), chunk, 0);
    if (sent <= 0) return false;
    bytes.remove_prefix(sent);
  }
  return true;
}

std::optional<std::string> Socket::read_line() const {
  std::string line;
  char c;
  while (line.size() <= kMaxHeader) {
    if (recv(handle_, &c, 1, 0) != 1) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return std::nullopt;
}

std::optional<std::string> Socket::read_exact(size_t count) const {
  std::string bytes(count, '\0');
  size_t done = 0;
  while (done < count) {
    int chunk = static_cast<int>(std::min<size_t>(count - done, 1 << 20));
    int got = recv(handle_, bytes.data() + done, chunk, 0);
    if (got <= 0) return std::nullopt;
    done += got;
  }
  return bytes;
}

std::string socket_error_text(int code) {
  switch (code) {
    case WSAECONNREFUSED:
      return "connection refused";
    case WSAETIMEDOUT:
      return "connection timed out";
    case WSAEHOSTUNREACH:
      return "host unreachable";
    case WSAENETUNREACH:
      return "network unreachable";
    case WSAHOST_NOT_FOUND:
      return "host not found";
    case WSATRY_AGAIN:
      return "host name lookup failed for now";
    case WSANO_DATA:
      return "host has no address";
    case WSATYPE_NOT_FOUND:
      return "port is not a number or service name";
    case WSAEADDRNOTAVAIL:
      return "address not available";
    case WSAECONNRESET:
      return "connection reset";
  }
  std::string text = "Windows Sockets error ";
  return text.append(std::to_string(code));
}

Connected connect_tcp(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (int code = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); code != 0)
    return {Socket(), socket_error_text(code)};
  int last_error = WSAHOST_NOT_FOUND;
  Socket connected;
  for (addrinfo* address = found; address && !connected; address = address->ai_next) {
    Socket attempt(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
    if (!attempt) {
      last_error = WSAGetLastError();
    } else if (connect(attempt.get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
      last_error = WSAGetLastError();
    } else {
      connected = std::move(attempt);
    }
  }
  freeaddrinfo(found);
  if (!connected) return {Socket(), socket_error_text(last_error)};
  return {std::move(connected), ""};
}

std::optional<Answer> exchange(const Socket& socket, std::string_view verb, std::string_view payload) {
  if (!socket.send_all(encode_request(verb, payload))) return std::nullopt;
  std::optional<std::string> header = socket.read_line();
  if (!header) return std::nullopt;
  std::string_view rest = *header;
  std::string_view status = next_word(rest);
  std::optional<ValueKind> kind = kind_from_name(next_word(rest));
  std::optional<size_t> error_size = parse_size(next_word(rest));
  std::optional<size_t> value_size = parse_size(rest);
  if ((status != "ok" && status != "error") || !kind || !error_size || !value_size ||
      *error_size > kMaxPayload || *value_size > kMaxPayload)
    return std::nullopt;
  std::optional<std::string> error = socket.read_exact(*error_size);
  std::optional<std::string> value = error ? socket.read_exact(*value_size) : std::nullopt;
  if (!value) return std::nullopt;
  return Answer{status == "ok", std::move(*error), *kind, std::move(*value)};
}

}  // namespace standin
