// LoadFile, LoadRtn and Call against a server that hangs up in the middle of a line:
// the defined result, the instance released, the calling thread's COM state as it
// was, and the server still serving everyone else.
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <functional>
#include <string>
#include <thread>

#include "common/wire.h"
#include "standin_control.h"  // linked: the same module COM loads
#include "support/com_checks.h"
#include "support/control_log.h"
#include "support/library.h"
#include "support/standin_server.h"

using namespace ulvane::test;

namespace {

constexpr const char* kDropText = "DROP";

// How a call ended, seen from a thread that had not initialised COM.
struct Outcome {
  std::string result;
  int apartment_before = 0;  // current_apartment() before and after the call
  int apartment_after = 0;
};

Outcome on_fresh_thread(const std::function<std::string()>& call) {
  Outcome outcome;
  std::thread([&] {
    outcome.apartment_before = current_apartment();
    outcome.result = call();
    outcome.apartment_after = current_apartment();
  }).join();
  return outcome;
}

// The control's calls from the dropped line on: disconnected, closed and released.
std::string teardown_after(const std::string& line) {
  std::string log = "RunCode \"";
  return log.append(line).append("\"\n").append(kReleaseLog);
}

struct DropRow {
  const char* label;
  std::function<std::string()> call;  // the export, its result as text
  std::string result;
  std::string dropped_line;
};

}  // namespace

TEST(ServerDrop, EachExportGivesItsDefinedResultAndLeavesNothingBehind) {
  StandinServer::Options options;
  options.drop_on = kDropText;
  StandinServer server(options);
  const std::string host = server.host();
  const std::string port = server.port_text();
  const std::string dropping_file = server.write_file("DROP.rtn", "DROPPED\r\n Q\r\n");
  const std::string file = server.write_file("kept.rtn", "KEPT\r\n Q\r\n");

  // A client connected before the drops, to show they do not reach other connections.
  standin::WinsockSession winsock;
  standin::Connected bystander = standin::connect_tcp(host, port);
  ASSERT_TRUE(bystander.socket) << bystander.error;

  const DropRow rows[] = {
      {"LoadFile, on its second line",
       [&] { return std::to_string(library().LoadFile(host.c_str(), port.c_str(), dropping_file.c_str())); },
       "0", "S F=\"" + dropping_file + "\" O F U F ZL  ZS QUMAINST C F"},
      {"LoadRtn",
       [&] {
         return std::to_string(library().LoadRtn(file.c_str(), host.c_str(), port.c_str(), "ULV", kDropText));
       },
       "0", "S F=\"" + file + "\" O F U F ZL  ZS DROP C F"},
      {"Call", [&] { return std::string(library().Call(host.c_str(), port.c_str(), "USER", "\"DROP\"")); },
       "the connection to the server was lost", "S P1=\"DROP\""},
  };
  for (const DropRow& row : rows) {
    StandinResetLog();
    Outcome outcome = on_fresh_thread(row.call);
    EXPECT_EQ(outcome.result, row.result) << row.label;
    EXPECT_EQ(StandinLiveInstances(), 0) << row.label;
    EXPECT_EQ(StandinConnectedSinks(), 0) << row.label;
    std::string log = StandinLog();
    size_t dropped = log.find("RunCode \"" + row.dropped_line);
    EXPECT_EQ(dropped == std::string::npos ? log : log.substr(dropped), teardown_after(row.dropped_line))
        << row.label;
    EXPECT_EQ(outcome.apartment_before, -1) << row.label;
    EXPECT_EQ(outcome.apartment_after, -1) << row.label;
  }
  EXPECT_EQ(server.routine("%SYS", "QUMAINST"), std::nullopt);
  EXPECT_EQ(server.routine("ULV", "DROP"), std::nullopt);

  // Each dropped line reached the server once; the server serves on, old and new connections alike.
  std::optional<standin::Answer> answer = standin::exchange(bystander.socket, "run", "S P1=6*7");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->p1, "42");
  EXPECT_STREQ(library().Call(host.c_str(), port.c_str(), "USER", "6*7"), "42");
  EXPECT_EQ(library().LoadRtn(file.c_str(), host.c_str(), port.c_str(), "ULV", "KEPT"), 1);
  EXPECT_EQ(server.routine("ULV", "KEPT"), "KEPT\r\n Q\r\n");
  EXPECT_EQ(server.journal(),
            "%SYS\tZN \"%SYS\"\n"
            "%SYS\t" +
                rows[0].dropped_line +
                "\n"
                "ULV\t" +
                rows[1].dropped_line +
                "\n"
                "USER\t" +
                rows[2].dropped_line +
                "\n"
                "USER\tS P1=6*7\n"
                "USER\tS P1=6*7\n"
                "ULV\tS F=\"" +
                file + "\" O F U F ZL  ZS KEPT C F\n");
  EXPECT_EQ(StandinLiveInstances(), 0);
}
