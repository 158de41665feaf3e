// LoadFile, LoadRtn and Call against the stand-in control and a stand-in server:
// the exact lines sent, the order of the control calls, and every failure row.
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "standin_control.h"  // linked: the same module COM loads
#include "support/com_checks.h"
#include "support/control_log.h"
#include "support/import_hook.h"
#include "support/library.h"
#include "support/scratch_directory.h"
#include "support/standin_server.h"
#include "support/text.h"

using namespace ulvane::test;

namespace {

class ServerExports : public ::testing::Test {
protected:
  static void SetUpTestSuite() { server = new StandinServer(); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    StandinSetFaults("");
    StandinResetLog();
    journal_start = server->journal().size();
  }
  void TearDown() override {
    StandinSetFaults("");
    EXPECT_EQ(StandinLiveInstances(), 0) << "an instance was not released";
    EXPECT_EQ(StandinConnectedSinks(), 0) << "a sink was not disconnected";
  }

  // The journal lines written since the test began.
  std::string new_journal() const { return server->journal().substr(journal_start); }
  std::string port() const { return std::to_string(server->port()); }
  std::string log() const { return StandinLog(); }

  static StandinServer* server;
  std::size_t journal_start = 0;
};

StandinServer* ServerExports::server = nullptr;

}  // namespace

TEST_F(ServerExports, SendEachLineExactlyAndSaveTheRoutines) {
  const std::string routine = "ULVINST ; install routine\r\n Q\r\n";
  const std::string file = server->write_file("ulvinst.rtn", routine);
  const std::string host = server->host();

  EXPECT_EQ(library().LoadFile(host.c_str(), port().c_str(), file.c_str()), 1);
  EXPECT_EQ(library().LoadRtn(file.c_str(), host.c_str(), port().c_str(), "ULV", "ULVAPI"), 1);
  EXPECT_STREQ(library().Call(host.c_str(), port().c_str(), "USER", "\"a\"_\"b\""), "ab");
  EXPECT_STREQ(library().Call(host.c_str(), port().c_str(), "ULV", "$D(^ROUTINE(\"ULVAPI\"))"), "1");

  EXPECT_EQ(new_journal(),
            "%SYS\tZN \"%SYS\"\n"
            "%SYS\tS F=\"" +
                file +
                "\" O F U F ZL  ZS QUMAINST C F\n"
                "ULV\tS F=\"" +
                file +
                "\" O F U F ZL  ZS ULVAPI C F\n"
                "USER\tS P1=\"a\"_\"b\"\n"
                "ULV\tS P1=$D(^ROUTINE(\"ULVAPI\"))\n");
  EXPECT_EQ(server->routine("%SYS", "QUMAINST"), routine);
  EXPECT_EQ(server->routine("ULV", "ULVAPI"), routine);
}

// Caller texts go in verbatim: nothing trimmed, quoted or checked.
TEST_F(ServerExports, CallerTextsGoInVerbatim) {
  const std::string host = server->host();
  EXPECT_EQ(library().LoadRtn("C:\\a \"quoted\" path.rtn", host.c_str(), port().c_str(), "ULV", ""), 1);
  EXPECT_STREQ(library().Call(host.c_str(), port().c_str(), "USER", ""), "");
  EXPECT_STREQ(library().Call(host.c_str(), port().c_str(), "USER", nullptr), "");
  EXPECT_EQ(new_journal(),
            "ULV\tS F=\"C:\\a \"quoted\" path.rtn\" O F U F ZL  ZS  C F\n"
            "USER\tS P1=\n"
            "USER\tS P1=\n");
}

TEST_F(ServerExports, ANonAsciiCharacterReachesTheServerAndComesBack) {
  const std::string ansi = "caf\xe9";  // é in the ANSI code page
  wchar_t wide[8];
  int length = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, 8);
  char utf8[16];
  WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8, sizeof utf8, nullptr, nullptr);

  EXPECT_EQ(library().Call(server->host().c_str(), port().c_str(), "USER", ("\"" + ansi + "\"").c_str()),
            ansi);
  EXPECT_EQ(new_journal(), "USER\tS P1=\"" + std::string(utf8) + "\"\n");
}

TEST_F(ServerExports, CallConvertsEachKindOfValue) {
  struct Row {
    const char* expression;
    const char* text;
  };
  const Row rows[] = {
      {"\"text\"", "text"},
      {"6*7", "42"},
      {"-5", "-5"},
      {"3/2", "1.5"},
      {"$ZV", "Ulvane stand-in server 1.0"},
      {"$NAMESPACE", "USER"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expression);
    EXPECT_STREQ(library().Call(server->host().c_str(), port().c_str(), "USER", row.expression), row.text);
  }
}

TEST_F(ServerExports, HostTheControlInOrderAndReleaseIt) {
  const std::string host = server->host();
  ASSERT_STREQ(library().Call(host.c_str(), port().c_str(), "USER", "1+2"), "3");
  const std::string server_text = "cn_iptcp:" + host + "[" + port() + "]";
  EXPECT_EQ(log(), cat(kHostingLog,
                       "QI IPerPropertyBrowsing -> 0x80004002\n"
                       "QI IConnectionPointContainer\n"
                       "Advise IPropertyNotifySink 1\n"
                       "Advise events 1\n"
                       "OnAmbientPropertyChange -1\n"
                       "GetExtent 1\n"
                       "put 12 ErrorTrap VT_BOOL -1\n"
                       "put 19 TimeOut VT_I4 -1\n"
                       "put 25 MServer VT_BSTR \"",
                       server_text,
                       "\"\n"
                       "get 16 ErrorName -> VT_BSTR \"\"\n"
                       "put 18 NameSpace VT_BSTR \"USER\"\n"
                       "QI _DVisM\n"
                       "RunCode \"S P1=1+2\"\n"
                       "get 1 P1 -> VT_I4 3\n",
                       kReleaseLog));
}

TEST_F(ServerExports, AFailedConnectionSetsNoNamespaceButStillDisconnects) {
  const ClosedPort closed_port;
  const std::string& closed = closed_port.text();
  const std::string message = library().Call("127.0.0.1", closed.c_str(), "USER", "1");
  EXPECT_NE(message.find("127.0.0.1[" + closed + "]"), std::string::npos) << message;
  EXPECT_EQ(library().LoadRtn("C:\\x.rtn", "127.0.0.1", closed.c_str(), "ULV", "X"), 0);
  EXPECT_EQ(library().LoadFile("127.0.0.1", closed.c_str(), "C:\\x.rtn"), 0);

  const std::string calls = log();
  EXPECT_EQ(calls.find("NameSpace"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("RunCode"), std::string::npos) << calls;
  // The error text was read twice (once to test, once for the message), then the control disconnected.
  EXPECT_NE(calls.find("get 16 ErrorName -> VT_BSTR \"" + message + "\"\nget 16 ErrorName -> VT_BSTR \"" +
                       message + "\"\nput 25 MServer VT_BSTR null\n"),
            std::string::npos)
      << calls;
}

namespace {

// One failure the stand-in control injects, and what each export makes of it.
struct FaultRow {
  const char* faults;
  int load_status;           // LoadFile and LoadRtn
  std::string call_message;  // what Call of "1+2" returns
};

}  // namespace

TEST_F(ServerExports, EachFailureBecomesTheDefinedResult) {
  const std::string host = server->host();
  const std::string file = server->write_file("fault.rtn", "FAULT\r\n Q\r\n");
  const FaultRow rows[] = {
      {"create=0x80040154", 0, code_text(REGDB_E_CLASSNOTREG)},
      {"GetMiscStatus=0x8000FFFF", 0, code_text(E_UNEXPECTED)},
      {"SetClientSite#1=0x80004005", 0, code_text(E_FAIL)},
      {"QI:IPersistStreamInit=0x80004002", 0, code_text(E_NOINTERFACE)},
      {"GetExtent#1=0x80004001", 0, code_text(E_NOTIMPL)},
      {"InitNew=0x8007000E", 0, code_text(E_OUTOFMEMORY)},
      {"QI:IOleControl=0x80004002", 0, code_text(E_NOINTERFACE)},
      {"QI:IDispatch=0x80004002", 0, code_text(E_NOINTERFACE)},
      {"QI:_DVisM=0x80004002", 0, "Interface not supported"},
      {"put:12=0x80020005", 0, code_text(DISP_E_TYPEMISMATCH)},
      {"put:19=exception:0x80004005:TimeOut refused. \r\n", 0, "TimeOut refused"},
      {"put:25#1=exception:0x8007000E:", 0, code_text(E_OUTOFMEMORY)},
      {"get:16=0x80020003", 0, code_text(DISP_E_MEMBERNOTFOUND)},
      {"put:18=1", 0, code_text(S_FALSE)},
      {"RunCode=1", 0, code_text(S_FALSE)},
      {"RunCode=0x80004005", 0, code_text(E_FAIL)},
      {"RunCode=exception:0x80004005:<SYNTAX>...", 0, "<SYNTAX>"},
      {"RunCode=exception:0:", 0, code_text(DISP_E_EXCEPTION)},
      {"RunCode=exception:wCode=1234:", 0, "IDispatch error #1234"},
      {"get:1=0x80004005", 1, code_text(E_FAIL)},
      {"p1=null", 1, "Invalid variant type conversion"},
      {"disconnect=0x80004005", 0, code_text(E_FAIL)},
      {"disconnect=exception:0x80004005:Disconnect failed;RunCode=exception:0x80004005:Line failed", 0,
       "Disconnect failed"},
      {"put:18=0x80004005;disconnect=exception:0x80004005:Disconnect failed", 0, "Disconnect failed"},
      // A control that fails inside with a C++ exception still answers with a result.
      {"InitNew=throw:bad_alloc", 0, code_text(E_OUTOFMEMORY)},
      {"RunCode=throw:runtime_error", 0, code_text(E_UNEXPECTED)},
      // Optional parts of the hosting: refusing them changes nothing.
      {"QI:IConnectionPointContainer=0x80004002", 1, "3"},
      {"Advise:IPropertyNotifySink=0x80040200;Advise:events=0x80040200", 1, "3"},
      {"OnAmbientPropertyChange=0x80004001;GetExtent#2=0x80004005", 1, "3"},
      // Teardown steps other than the disconnect cannot fail the call.
      {"Close=0x80004005;SetClientSite#2=0x80004005", 1, "3"},
  };
  for (const FaultRow& row : rows) {
    SCOPED_TRACE(row.faults);
    ASSERT_EQ(StandinSetFaults(row.faults), 1);
    EXPECT_EQ(library().LoadFile(host.c_str(), port().c_str(), file.c_str()), row.load_status);
    EXPECT_EQ(library().LoadRtn(file.c_str(), host.c_str(), port().c_str(), "ULV", "FAULT"), row.load_status);
    EXPECT_EQ(library().Call(host.c_str(), port().c_str(), "USER", "1+2"), row.call_message);
    EXPECT_EQ(StandinLiveInstances(), 0);
    EXPECT_EQ(StandinConnectedSinks(), 0);
    EXPECT_EQ(current_apartment(), -1) << "COM left initialised";
  }
}

// A server that accepts a line but fails it, with the control trapping errors,
// does not make the call fail: nothing reads Error after a line.
TEST_F(ServerExports, AServerErrorTheControlTrapsIsNotAFailure) {
  const std::string host = server->host();
  EXPECT_EQ(library().LoadRtn("C:\\no\\such\\file.rtn", host.c_str(), port().c_str(), "ULV", "MISSING"), 1);
  EXPECT_EQ(library().LoadFile(host.c_str(), port().c_str(), "C:\\no\\such\\file.rtn"), 1);
  EXPECT_EQ(server->routine("ULV", "MISSING"), std::nullopt);
  EXPECT_STREQ(library().Call(host.c_str(), port().c_str(), "NOSUCH", "1"), "1");
}

// There the control lives in an apartment of its own, and its dispatch interface
// cannot reach this thread without a registered type library, which the stand-in
// does not have: the defined outcome is that failure, with the thread untouched
// and the instance released.
TEST_F(ServerExports, AThreadInTheMultithreadedApartmentStaysThere) {
  std::string value;
  int apartment_after = -1;
  std::thread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    value = library().Call(server->host().c_str(), port().c_str(), "USER", "6*7");
    apartment_after = current_apartment();
    CoUninitialize();
  }).join();
  EXPECT_EQ(apartment_after, APTTYPE_MTA);
  EXPECT_EQ(value, "Interface not supported");
}

namespace {

// The library's string allocations fail from the n-th on, and its variants start as
// on Windows before 8.1, where VariantInit sets only the type tag: the string field
// keeps whatever was there, here a marked address, so that clearing a variant tagged
// as a string before its string existed is seen instead of freeing stack garbage.
namespace exhaustion {

const BSTR kGarbage = reinterpret_cast<BSTR>(static_cast<INT_PTR>(0x0BADF00C));
int failing_from = 0;  // 0: no failure
int allocations = 0;
int garbage_cleared = 0;
const ImportHook* allocate_hook = nullptr;
const ImportHook* clear_hook = nullptr;

BSTR WINAPI allocate(const OLECHAR* text, UINT length) {
  if (failing_from && ++allocations >= failing_from) return nullptr;
  return allocate_hook->original<decltype(&SysAllocStringLen)>()(text, length);
}

void WINAPI init_tag_only(VARIANTARG* value) {
  value->vt = VT_EMPTY;
  value->bstrVal = kGarbage;
}

HRESULT WINAPI clear(VARIANTARG* value) {
  if (value->vt == VT_BSTR && value->bstrVal == kGarbage) {
    ++garbage_cleared;
    value->vt = VT_EMPTY;
    return S_OK;
  }
  return clear_hook->original<decltype(&VariantClear)>()(value);
}

}  // namespace exhaustion

}  // namespace

TEST_F(ServerExports, RunningOutOfMemoryForAStringFailsCleanly) {
  HMODULE dll = library_module();
  ImportHook allocate(dll, "oleaut32.dll", "SysAllocStringLen",
                      reinterpret_cast<void*>(&exhaustion::allocate));
  ImportHook init(dll, "oleaut32.dll", "VariantInit", reinterpret_cast<void*>(&exhaustion::init_tag_only));
  ImportHook clear(dll, "oleaut32.dll", "VariantClear", reinterpret_cast<void*>(&exhaustion::clear));
  exhaustion::allocate_hook = &allocate;
  exhaustion::clear_hook = &clear;

  const std::string host = server->host();
  const std::string file = server->write_file("memory.rtn", "MEMORY\r\n Q\r\n");
  struct Row {
    const char* label;
    std::function<std::string()> call;
    int strings;  // the strings the export makes for the control: MServer, NameSpace, the lines
    std::string failed;
    std::string succeeded;
  };
  const Row rows[] = {
      {"Call", [&] { return std::string(library().Call(host.c_str(), port().c_str(), "USER", "1+2")); }, 3,
       "Out of memory", "3"},
      {"LoadRtn",
       [&] {
         return std::to_string(library().LoadRtn(file.c_str(), host.c_str(), port().c_str(), "ULV", "M"));
       },
       3, "0", "1"},
      {"LoadFile",
       [&] { return std::to_string(library().LoadFile(host.c_str(), port().c_str(), file.c_str())); }, 4, "0",
       "1"},
  };
  for (const Row& row : rows) {
    for (int failing = 1; failing <= row.strings + 1; ++failing) {
      SCOPED_TRACE(std::string(row.label) + ", string " + std::to_string(failing) + " fails");
      StandinResetLog();
      exhaustion::failing_from = failing;
      exhaustion::allocations = 0;
      exhaustion::garbage_cleared = 0;
      const std::string result = row.call();
      exhaustion::failing_from = 0;
      EXPECT_EQ(result, failing <= row.strings ? row.failed : row.succeeded);
      EXPECT_EQ(exhaustion::garbage_cleared, 0) << "a variant was tagged before its string existed";
      EXPECT_EQ(StandinLiveInstances(), 0);
      EXPECT_EQ(StandinConnectedSinks(), 0);
      EXPECT_EQ(current_apartment(), -1);
      const std::string calls = log();
      EXPECT_TRUE(calls.ends_with(kReleaseLog)) << "not disconnected and released:\n" << calls;
    }
  }
}
