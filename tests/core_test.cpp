// Inner pieces tested directly: failure messages, the COM guard, the control site and the parsers.
#include <gtest/gtest.h>
#include <objbase.h>
#include <olectl.h>
#include <wrl/client.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "common/failure.h"
#include "config/extract_field.h"
#include "config/integer_syntax.h"
#include "server/com_apartment.h"
#include "server/com_error.h"
#include "server/control_ids.h"
#include "server/control_site.h"
#include "support/com_checks.h"

using ulvane::ComApartment;
using ulvane::Failure;
using ulvane::config::extract_field;
using ulvane::config::parse_integer;
using ulvane::server::code_message;
using ulvane::server::ControlSite;
using ulvane::server::invoke_message;
using ulvane::test::current_apartment;

TEST(FailureMessage, FillsPatternsWithPlainText) {
  struct Row {
    std::string message;
    const char* expected;
  };
  const Row rows[] = {
      {Failure::format("Unable to write to %s", "C:\\cache.cpf").what(), "Unable to write to C:\\cache.cpf"},
      {Failure::format("Unable to write to %s", "C:\\100%s%n%d.cpf").what(),
       "Unable to write to C:\\100%s%n%d.cpf"},
      {Failure::format("'%s' is not a valid integer value", "").what(), "'' is not a valid integer value"},
      {Failure::format("%s and %s", "a", "b").what(), "a and b"},
      {Failure::format("100%% of %s", "x").what(), "100% of x"},
      {Failure::format("no argument: %s").what(), "no argument: "},
      {Failure::format("trailing %").what(), "trailing %"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.message, row.expected);
}

namespace {

template <class Body>
void on_new_thread(Body body) {
  std::thread(body).join();
}

}  // namespace

TEST(ComApartmentGuard, EntersAndLeavesASingleThreadedApartment) {
  on_new_thread([] {
    {
      ComApartment guard;
      int type = current_apartment();
      EXPECT_TRUE(type == APTTYPE_STA || type == APTTYPE_MAINSTA) << type;
    }
    EXPECT_EQ(current_apartment(), -1);
  });
}

TEST(ComApartmentGuard, LeavesAMultithreadedThreadAsItFoundIt) {
  on_new_thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      ComApartment guard;
      EXPECT_EQ(current_apartment(), APTTYPE_MTA);
    }
    EXPECT_EQ(current_apartment(), APTTYPE_MTA);
    CoUninitialize();  // the thread's one initialisation is still its own to undo
    EXPECT_EQ(current_apartment(), -1);
  });
}

TEST(ComApartmentGuard, PairsWithAnApartmentTheThreadAlreadyHas) {
  on_new_thread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    { ComApartment guard; }
    EXPECT_NE(current_apartment(), -1);
    CoUninitialize();
    EXPECT_EQ(current_apartment(), -1);
  });
}

// The site takes the control's events and has no ambient property, whichever
// other bits come with the request for one (Visual Basic's callers add
// DISPATCH_METHOD).
TEST(ControlSiteDispatch, HasNoAmbientPropertyAndTakesEvents) {
  Microsoft::WRL::ComPtr<ControlSite> site;
  site.Attach(new ControlSite);
  struct Row {
    const char* label;
    DISPID member;
    WORD flags;
    HRESULT expected;
  };
  const Row rows[] = {
      {"property get", DISPID_AMBIENT_USERMODE, DISPATCH_PROPERTYGET, DISP_E_MEMBERNOTFOUND},
      {"method or property get", DISPID_AMBIENT_USERMODE, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
       DISP_E_MEMBERNOTFOUND},
      {"event", 1, DISPATCH_METHOD, S_OK},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    DISPPARAMS none{};
    VARIANT result;
    VariantInit(&result);
    result.vt = VT_I4;
    result.lVal = 7;
    EXPECT_EQ(
        site->Invoke(row.member, IID_NULL, LOCALE_USER_DEFAULT, row.flags, &none, &result, nullptr, nullptr),
        row.expected);
    if (row.expected == S_OK) {
      EXPECT_EQ(result.vt, VT_EMPTY);
    }
  }
}

// The class id the library creates the control by is the public header's text, read
// at compile time.
TEST(ControlClass, IsThePublicHeadersClassId) {
  wchar_t text[40] = {};
  ASSERT_EQ(StringFromGUID2(ulvane::server::kControlClass, text, 40), 39);
  EXPECT_EQ(std::string(text, text + 38), ULVANE_CONTROL_CLASS_ID);
}

TEST(IntegerSyntax, ParsesByTheConfigurationRules) {
  struct Row {
    const char* text;
    std::optional<std::int32_t> expected;
  };
  const Row rows[] = {
      {"0", 0},
      {"1972", 1972},
      {"007", 7},
      {"   56773", 56773},
      {"+5", 5},
      {"  +5", 5},
      {"-1", -1},
      {"-0", 0},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"+2147483647", 2147483647},
      {"$10", 16},
      {"x10", 16},
      {"X1f", 31},
      {"0x10", 16},
      {"0XfF", 255},
      {"$7FFFFFFF", 2147483647},
      {"$80000000", INT32_MIN},
      {"0xFFFFFFFF", -1},
      {"0x00000000FFFFFFFE", -2},
      {"0000000000002147483647", 2147483647},
      // not an integer
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"\t5", std::nullopt},
      {"5 ", std::nullopt},
      {"5x", std::nullopt},
      {"1972.0", std::nullopt},
      {"word", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"- 5", std::nullopt},
      {"--5", std::nullopt},
      {"-$10", std::nullopt},
      {"+0x10", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"x", std::nullopt},
      {"$G", std::nullopt},
      {"$ 1", std::nullopt},
      {"0x1 ", std::nullopt},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"+2147483648", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"$100000000", std::nullopt},
      {"0x1FFFFFFFF", std::nullopt},
      {"0b101", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(parse_integer(row.text), row.expected) << '"' << row.text << '"';
}

TEST(ExtractField, SplitsAtTheDelimiter) {
  struct Row {
    const char* text;
    char delimiter;
    int n;
    const char* expected;
  };
  const Row rows[] = {
      {"Nsp_12", '_', 2, "12"},
      {"Nsp_5_more", '_', 2, "5"},
      {"Nsp", '_', 2, ""},
      {"Nsp_", '_', 2, ""},
      {"_7", '_', 2, "7"},
      {"ULV,CACHELIB,CACHESYS", ',', 1, "ULV"},
      {"ULV,CACHELIB,CACHESYS", ',', 3, "CACHESYS"},
      {"ULV,CACHELIB,CACHESYS", ',', 4, ""},
      {" ULV ,x", ',', 1, " ULV "},
      {",x", ',', 1, ""},
      {"a,,c", ',', 2, ""},
      {"a,,c", ',', 3, "c"},
      {"whole", ',', 1, "whole"},
      {"whole", ',', 0, "whole"},
      {"a,b", ',', -3, "a"},
      {"", ',', 1, ""},
      {"", ',', 5, ""},
  };
  for (const Row& row : rows)
    EXPECT_EQ(extract_field(row.text, row.delimiter, row.n), row.expected) << row.text << " #" << row.n;
}

namespace {

// Wine's message-table text for E_OUTOFMEMORY, as the library gives it.
constexpr const char* kOutOfMemory = "Out of memory";

// The system's text for code as FormatMessageA gives it, untrimmed; "" when none.
std::string system_table_text(HRESULT code) {
  char text[512] = "";
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  return std::string(text, length);
}

}  // namespace

// Wine's texts for fixed codes (Windows words them otherwise): the message is the
// text without its full stop and line end, or "OLE error" and the code where the
// table has none.
TEST(ComFailureMessage, UsesTheSystemTextOrTheCode) {
  struct Row {
    HRESULT code;
    const char* table_text;  // FormatMessageA's, on Wine
    const char* message;
  };
  const Row rows[] = {
      {E_OUTOFMEMORY, "Out of memory.\r\n", kOutOfMemory},
      {E_FAIL, "Call failed.\r\n", "Call failed"},
      {S_FALSE, "Invalid function.\r\n", "Invalid function"},  // 1, as ERROR_INVALID_FUNCTION
      {REGDB_E_CLASSNOTREG, "", "OLE error 80040154"},
      {DISP_E_EXCEPTION, "", "OLE error 80020009"},
      {static_cast<HRESULT>(0x8ABC0DEF), "", "OLE error 8ABC0DEF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    ASSERT_EQ(system_table_text(row.code), row.table_text) << "this system's table is not Wine's";
    EXPECT_EQ(code_message(row.code), row.message);
  }
}

TEST(ComFailureMessage, TakesTheExceptionsDescriptionTrimmed) {
  struct Row {
    const wchar_t* description;
    SCODE scode;
    WORD wcode;
    std::string expected;
  };
  const Row rows[] = {
      {L"<UNDEFINED>", 0, 0, "<UNDEFINED>"},
      {L"Connection refused. \r\n", 0, 0, "Connection refused"},
      {L"Ends with dots...\t.", 0, 0, "Ends with dots"},
      {L"Keeps. Inner. Stops", 0, 0, "Keeps. Inner. Stops"},
      {L"Described", 0, 7, "Described"},
      {L" . \r\n", E_OUTOFMEMORY, 0, kOutOfMemory},
      {nullptr, E_OUTOFMEMORY, 0, kOutOfMemory},
      {nullptr, E_OUTOFMEMORY, 7, kOutOfMemory},
      // Without a description or scode, the record's own code names the failure.
      {nullptr, 0, 7, "IDispatch error #7"},
      {L" ", 0, 65535, "IDispatch error #65535"},
      {nullptr, 0, 0, "OLE error 80020009"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    EXCEPINFO exception{};
    exception.bstrDescription = row.description ? SysAllocString(row.description) : nullptr;
    exception.scode = row.scode;
    exception.wCode = row.wcode;
    EXPECT_EQ(invoke_message(DISP_E_EXCEPTION, exception), row.expected);
    SysFreeString(exception.bstrDescription);
  }
  // Without DISP_E_EXCEPTION there is no exception to read.
  EXCEPINFO ignored{};
  ignored.bstrDescription = SysAllocString(L"not raised");
  EXPECT_EQ(invoke_message(E_OUTOFMEMORY, ignored), kOutOfMemory);
  SysFreeString(ignored.bstrDescription);
}
