// The stand-ins' private protocol between the stand-in control and the stand-in
// server, and the socket plumbing both ends (and the tests) share.
//
// Every message is a header line, then the bytes it announces, so a line of code
// may hold any byte, line breaks included. Text is UTF-8.
//   request:  "<verb> <n>\n" + n bytes          verbs: run (a line of code),
//                                               ns (a namespace name), stop
//   answer:   "<ok|error> <p1> <e> <v>\n" + e bytes of error text + v bytes of P1
//             p1 is undefined, string, integer or decimal: P1 after the request
#pragma once

#include <winsock2.h>

#include <optional>
#include <string>
#include <string_view>

namespace standin {

enum class ValueKind { Undefined, String, Integer, Decimal };

struct Answer {
  bool ok = true;
  std::string error;
  ValueKind p1_kind = ValueKind::Undefined;
  std::string p1;
};

// Headers are short; payloads are capped so a broken peer cannot make us allocate without end.
constexpr size_t kMaxHeader = 100;
constexpr size_t kMaxPayload = 16 * 1024 * 1024;

std::string encode_request(std::string_view verb, std::string_view payload);
std::string encode_answer(const Answer& answer);
const char* kind_name(ValueKind kind);
std::optional<ValueKind> kind_from_name(std::string_view name);

// Windows Sockets for the lifetime of the object.
class WinsockSession {
public:
  WinsockSession();
  ~WinsockSession();
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool ready() const { return ready_; }

private:
  bool ready_;
};

// Owner of one socket, closed exactly once.
class Socket {
public:
  Socket() = default;
  explicit Socket(SOCKET handle) : handle_(handle) {}
  Socket(Socket&& other) noexcept : handle_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { reset(); }

  SOCKET get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_SOCKET; }
  SOCKET release();
  void reset();

  bool send_all(std::string_view bytes) const;
  // The header line without its "\n"; nothing at end of stream, on an error or an overlong line.
  std::optional<std::string> read_line() const;
  std::optional<std::string> read_exact(size_t count) const;

private:
  SOCKET handle_ = INVALID_SOCKET;
};

// A plain-language text for a Windows Sockets error code.
std::string socket_error_text(int code);

// Connects over TCP; on failure the error text names the reason.
struct Connected {
  Socket socket;
  std::string error;
};
Connected connect_tcp(const std::string& host, const std::string& port);

// A request header's verb and payload size; nothing when the header is malformed.
struct RequestHeader {
  std::string verb;
  size_t size;
};
std::optional<RequestHeader> parse_request_header(std::string_view line);

// One request and its answer on a connected socket; nothing when the connection broke.
std::optional<Answer> exchange(const Socket& socket, std::string_view verb, std::string_view payload);

}  // namespace standin
