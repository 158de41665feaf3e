// The stand-in server over its socket: the interpreter, the store, the journal,
// several clients, and stopping. Library tests trust what these establish.
#include "support/standin_server.h"

#include <gtest/gtest.h>

#include <string>

#include "common/wire.h"
#include "support/library.h"
#include "support/process.h"
#include "support/text.h"

using namespace ulvane::test;
using standin::Answer;
using standin::ValueKind;

namespace {

class Client {
public:
  explicit Client(const StandinServer& server) {
    standin::Connected connected = standin::connect_tcp(server.host(), server.port_text());
    if (!connected.socket) throw std::runtime_error(connected.error);
    socket_ = std::move(connected.socket);
  }
  Answer run(const std::string& line) { return request("run", line); }
  Answer request(const std::string& verb, const std::string& payload) {
    std::optional<Answer> answer = standin::exchange(socket_, verb, payload);
    if (!answer) throw std::runtime_error(cat("no answer to ", verb));
    return *answer;
  }
  const standin::Socket& socket() const { return socket_; }

private:
  standin::WinsockSession winsock_;
  standin::Socket socket_;
};

std::string describe(const Answer& answer) {
  std::string text = answer.ok ? "ok" : "error ";
  text.append(answer.error).append(" P1=").append(standin::kind_name(answer.p1_kind));
  return text.append(":").append(answer.p1);
}

// "S P1=" and value inside depth pairs of parentheses.
std::string nested(std::size_t depth, const std::string& value) {
  return cat("S P1=", std::string(depth, '('), value, std::string(depth, ')'));
}

std::string load_line(const std::string& path, const std::string& name) {
  return cat("S F=\"", path, "\" O F U F ZL  ZS ", name, " C F");
}

}  // namespace

TEST(StandinServer, InterpretsLinesInOrderOnOneConnection) {
  StandinServer server;
  Client client(server);
  struct Row {
    std::string line;
    std::string error;  // "" for success
    ValueKind kind;
    std::string p1;
  };
  const Row rows[] = {
      {"S P1=$NAMESPACE", "", ValueKind::String, "USER"},
      {"S P1=\"say \"\"hi\"\"\"", "", ValueKind::String, "say \"hi\""},
      {"S P1=42", "", ValueKind::Integer, "42"},
      {"S P1=1+2*3", "", ValueKind::Integer, "9"},  // strictly left to right
      {"S P1=7/2", "", ValueKind::Decimal, "3.5"},
      {"S P1=-1/4", "", ValueKind::Decimal, "-.25"},
      {"S P1=1.50", "", ValueKind::Decimal, "1.5"},
      {"S P1=2.0*3", "", ValueKind::Integer, "6"},
      {"S P1=\"12abc\"+1", "", ValueKind::Integer, "13"},
      {"S P1=\"x\"_1/2", "", ValueKind::Integer, "0"},
      {"S P1=1/2_\"x\"", "", ValueKind::String, ".5x"},
      {"S P1=2147483647+1", "", ValueKind::Decimal, "2147483648"},
      {"S P1=(1+2)*(3+4)", "", ValueKind::Integer, "21"},
      {"S P1=$ZV", "", ValueKind::String, "Ulvane stand-in server 1.0"},
      {"S P1=$zversion", "", ValueKind::String, "Ulvane stand-in server 1.0"},
      {"s P1=\"lower-case command\"", "", ValueKind::String, "lower-case command"},
      {"S P1=1/0", "<DIVIDE>", ValueKind::String, "lower-case command"},  // P1 keeps its value
      {"ZN \"ulv\"", "", ValueKind::String, "lower-case command"},
      {"S P1=$NAMESPACE", "", ValueKind::String, "ULV"},
      {"ZN \"NOSUCH\"", "<NAMESPACE>", ValueKind::String, "ULV"},
      {"S P1=$NAMESPACE", "", ValueKind::String, "ULV"},
      {"S P1=$NAMESPACE_\":\"_($D(^ROUTINE(\"NONE\"))>0)", "", ValueKind::String, "ULV:0"},
      {"S P1=2>1_3", "", ValueKind::String, "13"},     // comparisons too go left to right
      {"S P1=\"01\"=1", "", ValueKind::Integer, "0"},  // = compares text
      {"S P1=\"1\"=1", "", ValueKind::Integer, "1"},
      {"S P1=$D(^ROUTINE(\"NONE\"))", "", ValueKind::Integer, "0"},
      {"S P1=1 + 2", "<SYNTAX>", ValueKind::Integer, "0"},
      {"S P1=", "<SYNTAX>", ValueKind::Integer, "0"},
      {"S P1=\"open", "<SYNTAX>", ValueKind::Integer, "0"},
      {"S P1=$FOO", "<SYNTAX>", ValueKind::Integer, "0"},
      {"S P1=$D(X)", "<SYNTAX>", ValueKind::Integer, "0"},
      {"S p1=1", "<SYNTAX>", ValueKind::Integer, "0"},
      {"W 1", "<SYNTAX>", ValueKind::Integer, "0"},
      {"ZN ULV", "<SYNTAX>", ValueKind::Integer, "0"},
      {"", "<SYNTAX>", ValueKind::Integer, "0"},
      // Nesting is bounded, so a hostile line is answered and the connection goes on.
      {nested(256, "7"), "", ValueKind::Integer, "7"},
      {nested(257, "7"), "<FRAMESTACK>", ValueKind::Integer, "7"},
      {cat("S P1=", std::string(200000, '(')), "<FRAMESTACK>", ValueKind::Integer, "7"},
      {cat("S P1=", std::string(300, '-'), "1"), "<FRAMESTACK>", ValueKind::Integer, "7"},
      {cat("S P1=$D(^ROUTINE(", nested(256, "\"X\"").substr(5), "))"), "<FRAMESTACK>", ValueKind::Integer,
       "7"},
      {std::string("S P1=\"a\0b\"", 10), "", ValueKind::String, std::string("a\0b", 3)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line.substr(0, 80));
    Answer answer = client.run(row.line);
    Answer expected{row.error.empty(), row.error, row.kind, row.p1};
    EXPECT_EQ(describe(answer), describe(expected));
  }
}

TEST(StandinServer, StartsWithP1UndefinedAndSelectsNamespacesByRequest) {
  StandinServer server(StandinServer::Options{{"ONE", "TWO"}});
  Client client(server);
  EXPECT_EQ(describe(client.request("ns", "two")), "ok P1=undefined:");
  EXPECT_EQ(describe(client.run("S P1=$NAMESPACE")), "ok P1=string:TWO");
  EXPECT_EQ(describe(client.request("ns", "ULV")), "error <NAMESPACE> P1=string:TWO");
  EXPECT_EQ(describe(Client(server).run("S P1=$NAMESPACE")),
            "ok P1=string:ONE");  // a new connection starts afresh
}

TEST(StandinServer, LoadsRoutineFilesIntoTheStoreOfTheCurrentNamespace) {
  StandinServer server;
  const std::string text = "HELLO ; greeting\r\n W \"hi\",!\r\n Q\r\n";
  std::string path = server.write_file("hello.mac", text);
  Client client(server);
  ASSERT_TRUE(client.run("ZN \"ULV\"").ok);
  EXPECT_EQ(describe(client.run(load_line(path, "HELLO"))), "ok P1=undefined:");
  EXPECT_EQ(server.routine("ULV", "HELLO"), text);
  EXPECT_EQ(server.routine("USER", "HELLO"), std::nullopt);
  EXPECT_EQ(client.run("S P1=$DATA(^ROUTINE(\"HELLO\"))").p1, "1");
  ASSERT_TRUE(client.run("ZN \"%SYS\"").ok);
  EXPECT_EQ(client.run("S P1=$D(^ROUTINE(\"HEL\"_\"LO\"))").p1, "0");
  EXPECT_EQ(describe(client.run(load_line(path, "%ZSTU.Part2"))), "ok P1=integer:0");
  EXPECT_EQ(server.routine("%SYS", "%ZSTU.Part2"), text);

  struct Row {
    std::string line;
    std::string error;
  };
  std::string missing = server.directory() + "\\missing.mac";
  const Row failures[] = {
      {load_line(missing, "X"), cat("cannot open routine file \"", missing, "\": no such file")},
      {load_line(path, ""), "no routine name to save under (ZS needs a name)"},
      {load_line(path, "1ABC"), "invalid routine name \"1ABC\""},
      {load_line(path, "A B"), "invalid routine name \"A B\""},
      {load_line("C:\\a\"b.mac", "X"), "<SYNTAX>"},  // a quote in the path breaks the line
      {cat("S F=\"", path, "\" O F U F ZL ZS X C F"), "<SYNTAX>"},
      {cat(load_line(path, "X"), " "), "<SYNTAX>"},
      {cat("S F=\"", path, "\""), "<SYNTAX>"},
  };
  for (const Row& row : failures) {
    Answer answer = client.run(row.line);
    EXPECT_FALSE(answer.ok) << row.line;
    EXPECT_EQ(answer.error, row.error) << row.line;
  }
  EXPECT_EQ(server.routine("%SYS", "X"), std::nullopt);
}

TEST(StandinServer, JournalsEveryLineExactlyAsReceivedWithItsNamespace) {
  StandinServer server;
  Client client(server);
  const std::string lines[] = {
      "S P1=\"Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC\"",  // UTF-8 "Grüße €"
      "ZN \"ULV\"",
      "not valid \xFF\xFE code",  // bytes kept even when not UTF-8
      "S P1=1",
      "ZN \"NOSUCH\"",
      "",
  };
  for (const std::string& line : lines) client.run(line);
  client.request("ns", "%SYS");  // not a line of code: not journalled
  client.run("S P1=2");
  EXPECT_EQ(server.journal(),
            "USER\tS P1=\"Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC\"\n"
            "USER\tZN \"ULV\"\n"
            "ULV\tnot valid \xFF\xFE code\n"
            "ULV\tS P1=1\n"
            "ULV\tZN \"NOSUCH\"\n"
            "ULV\t\n"
            "%SYS\tS P1=2\n");
}

TEST(StandinServer, ServesSeveralClientsAndSurvivesBrokenOnes) {
  StandinServer server;
  Client first(server);
  Client second(server);
  ASSERT_TRUE(first.run("ZN \"ULV\"").ok);
  {
    // Hangs up in the middle of a request.
    Client quitter(server);
    ASSERT_TRUE(quitter.socket().send_all("run 100\nS P1="));
  }
  {
    // A header that is not one: an error answer, then the server hangs up.
    Client garbled(server);
    ASSERT_TRUE(garbled.socket().send_all("hello there\n"));
    const std::string error = "<PROTOCOL> malformed request header";
    EXPECT_EQ(garbled.socket().read_line(), cat("error undefined ", std::to_string(error.size()), " 0"));
    EXPECT_EQ(garbled.socket().read_exact(error.size()), error);
    EXPECT_EQ(garbled.socket().read_exact(1), std::nullopt);
  }
  EXPECT_EQ(describe(second.request("what", "")), "error <PROTOCOL> unknown request \"what\" P1=undefined:");
  EXPECT_EQ(describe(second.run("S P1=$NAMESPACE")), "ok P1=string:USER");
  EXPECT_EQ(describe(first.run("S P1=$NAMESPACE")), "ok P1=string:ULV");
}

TEST(StandinServer, HangsUpMidAnswerOnALineHoldingTheDropText) {
  StandinServer::Options options;
  options.drop_on = "DROP";
  StandinServer server(options);
  const std::string path = server.write_file("drop.mac", "DROP\r\n Q\r\n");
  Client bystander(server);
  Client dropped(server);
  ASSERT_TRUE(dropped.run("S P1=1").ok);
  ASSERT_TRUE(dropped.socket().send_all(standin::encode_request("run", load_line(path, "DROP"))));
  DWORD patience_ms = 10000;  // a server that never hangs up fails the test rather than hanging it
  setsockopt(dropped.socket().get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience_ms),
             sizeof patience_ms);
  std::string received;  // everything until the server hangs up
  char chunk[64];
  for (int got; (got = recv(dropped.socket().get(), chunk, sizeof chunk, 0)) > 0;)
    received.append(chunk, got);
  EXPECT_EQ(received, "ok ");
  EXPECT_EQ(server.routine("USER", "DROP"), std::nullopt);  // journalled, not run

  EXPECT_EQ(describe(bystander.run("S P1=$NAMESPACE")), "ok P1=string:USER");
  Client later(server);
  EXPECT_EQ(describe(later.request("ns", "DROP")), "error <NAMESPACE> P1=undefined:");  // lines of code only
  EXPECT_EQ(describe(later.run("S P1=\"DR\"_\"OP\"")), "ok P1=string:DROP");
  EXPECT_EQ(server.journal(), cat("USER\tS P1=1\n", "USER\t", load_line(path, "DROP"), "\n",
                                  "USER\tS P1=$NAMESPACE\n", "USER\tS P1=\"DR\"_\"OP\"\n"));
}

TEST(StandinServer, StopsOnRequestOrWhenItsTimeIsUp) {
  StandinServer asked;
  Client idle(asked);  // open connections do not keep it alive, even one stuck mid-request
  Client stuck(asked);
  ASSERT_TRUE(stuck.socket().send_all("run 100\nS P1="));
  std::string port = asked.port_text();
  EXPECT_EQ(asked.stop(), 0u);
  standin::WinsockSession winsock;
  EXPECT_FALSE(standin::connect_tcp("127.0.0.1", port).socket);

  // A server whose time runs out, and one that was told to end with it.
  StandinServer timed(StandinServer::Options{{}, 1});
  StandinServer::Options child_options;
  child_options.parent = timed.process_id();
  StandinServer child(child_options);
  EXPECT_EQ(timed.wait_for_exit(), 0u);
  EXPECT_EQ(child.wait_for_exit(), 0u);
}

TEST(StandinServer, RejectsABadCommandLine) {
  for (const char* arguments : {"--port", "--port 70000", "--lifetime x", "--bogus 1", "--namespaces ,",
                                "--parent 0", "--drop-on \"\""}) {
    ProcessResult result =
        run_process(cat("\"", beside_this_program("standin-server.exe"), "\" ", arguments));
    EXPECT_EQ(result.exit_code, 2u) << arguments;
    EXPECT_NE(result.err.find("usage: standin-server"), std::string::npos) << arguments;
  }
}
